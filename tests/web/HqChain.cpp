// A chain for the head office console's browser tests and pictures: a private PostgreSQL and
// mosquitto, a built fuel-hq on them with tokens of each role, and two built
// fuel-forecourtd stations (groups north and south) on their embedded emulators. It prints
// one JSON line (the console's address, the tokens, the stations), then carries out the
// test's commands, one a line on its standard input, answering "ok" or "error: WHY":
//     fill STATION LITRES     a fill on the station's fuel point 1, its sale cleared
//     toggle STATION COUNT    fuel point 1 closed and opened by turns
//     stop STATION | start STATION
// Its standard input closed, it stops everything and ends.
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "testing/Broker.h"
#include "testing/ChildProcess.h"
#include "testing/HqProcess.h"
#include "testing/PostgresServer.h"
#include "testing/StationDaemon.h"
#include "testing/TestFiles.h"

#ifndef FUEL_HQ_PATH
#error "FUEL_HQ_PATH must name the built program"
#endif
#ifndef FUEL_FORECOURTD_PATH
#error "FUEL_FORECOURTD_PATH must name the built program"
#endif

namespace {

using namespace std::chrono_literals;
using fuel::bridge::test::StationDaemon;

// The clients of the console's tests: a second administrator approves what the first made.
const std::map<std::string, std::string> kClients = {
    {"alice", "hq-pricing"}, {"bob", "hq-admin"}, {"carol", "hq-admin"}, {"screen", "hq-viewer"}};

std::string Token(const std::filesystem::path& dir, const std::string& name,
                  const std::string& role, const std::string& database) {
    fuel::test::ChildProcess add(FUEL_HQ_PATH,
                                 {"token", "add", name, "--role", role, "--database", database},
                                 dir / "token.out", dir / "token.err");
    if (add.Wait(30s) != 0)
        throw std::runtime_error("token add " + name + ": " +
                                 fuel::test::ReadBytes(dir / "token.err"));
    std::string text = fuel::test::ReadBytes(dir / "token.out");
    return text.substr(0, text.find('\n'));
}

int Run() {
    fuel::test::TemporaryDirectory dir;
    fuel::test::PostgresServer postgres({.durable = false});
    fuel::test::MosquittoBroker broker;
    const std::string database = postgres.ConnectionString();
    // The head office's own alarms soon, so that a stopped station is one within seconds.
    fuel::test::HqProcess hq(dir.Path(), "hq",
                             {.program = FUEL_HQ_PATH,
                              .brokerUrl = broker.Url(),
                              .database = database,
                              .intake = "batch-time = 0.02\ngap-time = 0.5\napply-every = 0.2\n"
                                        "health-every = 0.5\n[alarms]\noffline-after = 2\n"});
    std::map<std::string, std::unique_ptr<StationDaemon>> stations;
    for (const auto& [id, group] : {std::pair{"north-1", "north"}, std::pair{"south-2", "south"}}) {
        auto station = std::make_unique<StationDaemon>(
            FUEL_FORECOURTD_PATH, id, broker.Url(),
            std::string("groups = ") + group + "\nidentity.hq = backoffice\n");
        station->Start();
        stations.emplace(id, std::move(station));
    }
    nlohmann::json tokens;
    for (const auto& [name, role] : kClients)
        tokens[name] = Token(dir.Path(), name, role, database);
    std::cout << nlohmann::json{{"url", "http://127.0.0.1:" + std::to_string(hq.Port()) + "/"},
                                {"tokens", tokens},
                                {"stations", {"north-1", "south-2"}}}
                     .dump()
              << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string command, id;
        words >> command >> id;
        try {
            const auto found = stations.find(id);
            if (found == stations.end())
                throw std::runtime_error("no station '" + id + "'");
            StationDaemon& station = *found->second;
            if (command == "fill") {
                double litres = 0;
                words >> litres;
                station.Fill(litres);
            } else if (command == "toggle") {
                int count = 1;
                words >> count;
                station.Toggle(count);
            } else if (command == "stop") {
                station.Stop();
            } else if (command == "start") {
                station.Start();
            } else {
                throw std::runtime_error("no command '" + command + "'");
            }
            std::cout << "ok" << std::endl;
        } catch (const std::exception& e) {
            std::cout << "error: " << e.what() << std::endl;
        }
    }
    for (auto& [id, station] : stations) {
        if (station->Running())
            station->Stop();
    }
    hq.Stop();
    return 0;
}

}  // namespace

int main() {
    try {
        return Run();
    } catch (const fuel::test::PostgresMissing& e) {
        std::cout << nlohmann::json{{"skip", e.what()}}.dump() << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "hq-web-chain: " << e.what() << '\n';
        return 1;
    }
}
