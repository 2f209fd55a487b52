// The API's request handling (the router, the token and role checks, the parameters, the
// Idempotency-Key, the JSON bodies, the handlers) against the example station running in
// this process without customers. The input chooses a route (or a target of its own), a
// method, a role and headers, and gives the path parameters' text, the query and the body;
// every answer must be a status the API gives, with a JSON body, and an error body in the
// API's error form.
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>

#include "forecourt/Forecourt.h"
#include "fuzz/FuzzInput.h"
#include "server/Api.h"
#include "server/Metrics.h"
#include "server/Routes.h"
#include "server/Tokens.h"

namespace {

namespace fs = std::filesystem;
using fuel::fuzz::FuzzInput;

constexpr int kStatuses[] = {101, 200, 400, 401, 403, 404, 405, 409, 426, 500, 502, 503};

struct Station {
    Station() {
        char pattern[] = "/tmp/fuel-request-fuzz-XXXXXX";
        directory = ::mkdtemp(pattern);
        const fs::path source = FUEL_SOURCE_DIR;
        const std::string config =
            "[forecourt]\ndatabase = " + (directory / "forecourt.db").string() +
            "\n[line north]\nport = emulator:" + (source / "examples/bus/station.conf").string() +
            "\n[grade 95]\nname = Super 95\nprice = 45.67\n[grade 92]\nname = Regular 92\n"
            "price = 48.17\n[fuel-point 1]\nline = north\naddress = 1\nnozzles = 95 92\n"
            "[fuel-point 2]\nline = north\naddress = 3\nnozzles = 95 92\n";
        fuel::forecourt::Options options;
        options.migrations = fuel::server::ServerMigrations();
        forecourt = std::make_unique<fuel::forecourt::Forecourt>(
            fuel::forecourt::ParseConfig(config, directory / "station.ini"), options);
        forecourt->Start();
        tokens = std::make_unique<fuel::server::Tokens>(forecourt->GetJournal());
        for (const fuel::server::Role role : fuel::server::kRoles) {
            bearers.push_back("Bearer " + tokens->Add(std::string(Name(role)) + "-fuzz", role));
        }
        api = std::make_unique<fuel::server::Api>(
            fuel::server::Context{*forecourt, *tokens, counters, nullptr});
    }
    ~Station() {
        api.reset();
        tokens.reset();
        forecourt->Stop();
        forecourt.reset();
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    fs::path directory;
    std::unique_ptr<fuel::forecourt::Forecourt> forecourt;
    std::unique_ptr<fuel::server::Tokens> tokens;
    std::vector<std::string> bearers;
    fuel::http::ServerCounters counters;
    std::unique_ptr<fuel::server::Api> api;
};

Station& TheStation() {
    static Station station;
    return station;
}

std::string Text(FuzzInput& input) {
    const auto bytes = input.Bytes(input.Byte() % 48);
    return std::string(bytes.begin(), bytes.end());
}

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static long serial = 0;
    Station& station = TheStation();
    FuzzInput input(data, size);
    const auto& routes = fuel::server::Routes();
    const std::size_t pick = input.Byte() % (routes.size() + 1);
    const std::uint8_t methodPick = input.Byte();
    const std::uint8_t rolePick = input.Byte();
    const std::uint8_t flags = input.Byte();

    fuel::http::Request request;
    const std::string parameter = Text(input);
    const std::string query = Text(input);
    if (pick < routes.size()) {
        const fuel::http::Route& route = routes[pick];
        // Each "{name}" of the path becomes the parameter's text (which may hold braces).
        const std::string& path = route.path;
        for (std::size_t at = 0; at < path.size();) {
            const std::size_t open = path.find('{', at);
            request.target += path.substr(at, open - at);
            if (open == std::string::npos)
                break;
            request.target += parameter;
            at = path.find('}', open) + 1;
        }
        static const char* const kMethods[] = {"GET", "POST", "PUT", "DELETE"};
        request.method = methodPick % 2 == 0 ? route.method : kMethods[methodPick / 2 % 4];
    } else {
        request.target = parameter;
        request.method = methodPick % 2 == 0 ? "GET" : "POST";
    }
    if (!query.empty())
        request.target += "?" + query;
    const std::size_t role = rolePick % (station.bearers.size() + 2);
    if (role < station.bearers.size()) {
        request.headers.emplace_back("Authorization", station.bearers[role]);
    } else if (role == station.bearers.size()) {
        request.headers.emplace_back("Authorization", "Bearer not-a-token");
    }
    if (flags & 1) {
        request.headers.emplace_back("Idempotency-Key", "fuzz-" + std::to_string(++serial));
    }
    if (flags & 2)
        request.headers.emplace_back("Idempotency-Key", Text(input));
    if (flags & 4)
        request.headers.emplace_back("Last-Event-ID", Text(input));
    if (flags & 8) {
        request.headers.emplace_back("Connection", "Upgrade");
        request.headers.emplace_back("Upgrade", "websocket");
    }
    // Mostly the one Host a request needs; now and then none or two.
    if ((flags & 0x30) != 0x30)
        request.headers.emplace_back("Host", "127.0.0.1");
    if ((flags & 0x30) == 0x10)
        request.headers.emplace_back("Host", "other");
    const auto body = input.Bytes(size);
    request.body.assign(body.begin(), body.end());

    auto answer = std::make_shared<std::promise<fuel::http::Response>>();
    auto future = answer->get_future();
    station.api->Handle(request, [answer](fuel::http::Response response) {
        answer->set_value(std::move(response));
    });
    Check(future.wait_for(std::chrono::seconds(60)) == std::future_status::ready);
    const fuel::http::Response response = future.get();

    bool known = false;
    for (const int status : kStatuses)
        known = known || status == response.status;
    Check(known);
    if (response.stream)
        return 0;
    if (response.contentType == "application/json") {
        const auto json = nlohmann::json::parse(response.body, nullptr, false);
        Check(!json.is_discarded());
        if (response.status >= 400) {
            Check(json.contains("error") && json["error"]["code"].is_string() &&
                  json["error"]["message"].is_string());
        }
    }
    return 0;
}
