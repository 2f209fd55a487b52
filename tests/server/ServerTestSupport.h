// What the server's tests share: the example station in a directory of the test's own (its
// database there, customers on or off), a forecourt running it with the server's tables, a
// token per role, and the API or a whole server in this process.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "forecourt/Forecourt.h"
#include "server/Api.h"
#include "server/Metrics.h"
#include "server/Options.h"
#include "server/Roles.h"
#include "server/Server.h"
#include "server/Tokens.h"
#include "testing/HttpClient.h"
#include "testing/TestFiles.h"

namespace fuel::test {

// The example station's configuration rewritten for a test: its database in `directory`, the
// bus file by its absolute path, customers as asked. Returns the file's path.
std::filesystem::path WriteStationConfig(const std::filesystem::path& directory, bool customers);

// The example station running in this process, with a token for each role (named after the
// role and "1": "pos1" ...) and a second pos ("pos2").
class Station {
  public:
    explicit Station(bool customers);
    ~Station();

    forecourt::Forecourt& Forecourt() { return *forecourt_; }
    server::Tokens& Tokens() { return *tokens_; }
    const std::filesystem::path& Dir() const { return dir_.Path(); }
    // The token of "pos1", "pos2", "viewer1", "backoffice1", "technician1".
    const std::string& Token(const std::string& client) const { return tokens.at(client); }
    std::string Bearer(const std::string& client) const { return "Bearer " + Token(client); }

    // What a bad request must leave alone: the fuel points (their states, fills, closed
    // flags), the sales and the journal's last event.
    std::string Fingerprint();

    std::map<std::string, std::string> tokens;

  private:
    TemporaryDirectory dir_;
    std::unique_ptr<forecourt::Forecourt> forecourt_;
    std::unique_ptr<server::Tokens> tokens_;
};

// The API in this process, without the network: the answer to one request, waited for.
http::Response Ask(server::Api& api, http::Request request);
http::Request MakeRequest(const std::string& method, const std::string& target,
                          const std::string& authorization = "", const std::string& body = "",
                          const std::string& key = "");

// The server on a free loopback port in front of a station.
class RunningServer {
  public:
    RunningServer(Station& station, server::ServerSettings settings = {});
    ~RunningServer();
    std::uint16_t Port() const { return server_->Port(); }
    server::Server& Get() { return *server_; }

  private:
    std::unique_ptr<server::Server> server_;
};

// Waits until the fuel point's state is one of the words ("IDLE", "FUELLING" ...).
bool WaitForState(forecourt::Forecourt& forecourt, int fuelPoint, const std::string& state,
                  std::chrono::milliseconds wait);

}  // namespace fuel::test
