#include "tests/server/ServerTestSupport.h"

#include <future>
#include <sstream>
#include <thread>

#ifndef FUEL_SOURCE_DIR
#error "FUEL_SOURCE_DIR must name the source tree"
#endif

namespace fuel::test {

namespace fs = std::filesystem;

fs::path WriteStationConfig(const fs::path& directory, bool customers) {
    const fs::path example = fs::path(FUEL_SOURCE_DIR) / "examples/forecourt/station.ini";
    std::istringstream in(ReadBytes(example));
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const std::string key = line.substr(0, line.find_first_of(" ="));
        if (key == "database") {
            line = "database = " + (directory / "forecourt.db").string();
        } else if (key == "port" && line.find("emulator:") != std::string::npos) {
            const std::string bus = line.substr(line.find("emulator:") + 9);
            line = "port = emulator:" + fs::weakly_canonical(example.parent_path() / bus).string();
        } else if (key == "customers") {
            line = std::string("customers = ") + (customers ? "yes" : "no");
        }
        out += line + "\n";
    }
    const fs::path file = directory / "station.ini";
    WriteBytes(file, out);
    return file;
}

Station::Station(bool customers) {
    forecourt::Options options;
    options.migrations = server::ServerMigrations();
    forecourt_ = std::make_unique<forecourt::Forecourt>(
        forecourt::LoadConfig(WriteStationConfig(dir_.Path(), customers)), options);
    forecourt_->Start();
    tokens_ = std::make_unique<server::Tokens>(forecourt_->GetJournal());
    for (const server::Role role : server::kRoles) {
        const std::string name = std::string(server::Name(role)) + "1";
        tokens[name] = tokens_->Add(name, role);
    }
    tokens["pos2"] = tokens_->Add("pos2", server::Role::Pos);
}

Station::~Station() {
    forecourt_->Stop();
}

std::string Station::Fingerprint() {
    const forecourt::Snapshot snapshot = forecourt_->GetSnapshot();
    nlohmann::json points = nlohmann::json::array();
    for (const auto& point : snapshot.fuelPoints) {
        nlohmann::json view = forecourt::ToJson(point);
        // A running fill's volume moves on its own; the fill itself must not change.
        if (view["fill"].is_object()) {
            view["fill"].erase("volume");
            view["fill"].erase("amount");
        }
        points.push_back(view);
    }
    nlohmann::json sales = nlohmann::json::array();
    forecourt::SaleFilter all;
    for (const auto& sale : forecourt_->Sales(all))
        sales.push_back(forecourt::ToJson(sale));
    return nlohmann::json{{"fuelPoints", points},
                          {"sales", sales},
                          {"sequence", forecourt_->GetJournal().LastSequence()}}
        .dump();
}

http::Request MakeRequest(const std::string& method, const std::string& target,
                          const std::string& authorization, const std::string& body,
                          const std::string& key) {
    http::Request request;
    request.method = method;
    request.target = target;
    request.headers.emplace_back("Host", "127.0.0.1");
    if (!authorization.empty())
        request.headers.emplace_back("Authorization", authorization);
    if (!key.empty())
        request.headers.emplace_back("Idempotency-Key", key);
    request.body = body;
    return request;
}

http::Response Ask(server::Api& api, http::Request request) {
    auto promise = std::make_shared<std::promise<http::Response>>();
    auto future = promise->get_future();
    api.Handle(request,
               [promise](http::Response response) { promise->set_value(std::move(response)); });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        return http::ErrorResponse(599, "no-answer", "the API gave no answer in 30 s");
    }
    return future.get();
}

RunningServer::RunningServer(Station& station, server::ServerSettings settings) {
    settings.port = 0;
    server_ = std::make_unique<server::Server>(settings, station.Forecourt(), station.Tokens());
    server_->Start();
}

RunningServer::~RunningServer() {
    server_->Stop();
}

bool WaitForState(forecourt::Forecourt& forecourt, int fuelPoint, const std::string& state,
                  std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto point = forecourt.FuelPoint(fuelPoint);
        if (point && forecourt::Name(point->state) == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace fuel::test
