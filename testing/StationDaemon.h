// A station as a chain runs it, for the tests of the chain's side: the built fuel-forecourtd
// with its configuration and journal in a directory of its own, on the quick test bus, with a
// back office token made by its own command line; started, stopped and killed, and driven
// through its API: fills, closes and opens, and what its journal and sales say.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forecourt/Model.h"
#include "testing/ChildProcess.h"
#include "testing/HttpClient.h"
#include "testing/TestFiles.h"

namespace fuel::bridge::test {

// A run of a fuel-forecourtd command (token add, check ...) to its end.
struct ProgramRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};
ProgramRun RunDaemonCommand(const std::filesystem::path& program, const std::filesystem::path& dir,
                            const std::vector<std::string>& words);

class StationDaemon {
  public:
    // `program` is the built fuel-forecourtd; `office` the [mqtt] lines beside the broker's
    // url and the station's id (groups, identities).
    StationDaemon(std::filesystem::path program, const std::string& id, const std::string& url,
                  const std::string& office);
    ~StationDaemon();

    void Start();
    std::optional<int> Stop();  // SIGTERM; the exit status
    void Kill();                // SIGKILL
    bool Running() const { return daemon_ != nullptr; }

    const std::string& Id() const { return id_; }
    // The journal's last event, as the API tells it.
    forecourt::Sequence LastSequence();
    // The forecourt as the API shows it: {"fuelPoints", "grades", "sequence"}.
    nlohmann::json Forecourt();
    // One fill on fuel point 1: authorised, its sale waited for on the event stream, cleared.
    void Fill(double litres);
    // Closes and opens fuel point 1 by turns: one journal event each.
    void Toggle(int count);
    // Every event of the journal, from the first, as the event stream gives them.
    std::vector<nlohmann::json> Journal();
    // Every sale, as the sales list gives them, page after page.
    std::vector<nlohmann::json> Sales();

    // The bridge's recorded position and the journal's end, read off the journal's file.
    forecourt::Sequence StoredPosition() const;
    forecourt::Sequence JournalEnd() const;
    std::string Log() const;

  private:
    std::optional<int> End(int signal);
    nlohmann::json Get(const std::string& target);
    void Post(const std::string& target, const std::string& body);

    std::filesystem::path program_;
    fuel::test::TemporaryDirectory dir_;
    std::string id_;
    std::string config_;
    std::string bearer_;
    std::filesystem::path log_;
    std::unique_ptr<fuel::test::ChildProcess> daemon_;
    std::unique_ptr<fuel::test::HttpClient> client_;
    std::uint16_t port_ = 0;
    int runs_ = 0;
    int keys_ = 0;
};

}  // namespace fuel::bridge::test
