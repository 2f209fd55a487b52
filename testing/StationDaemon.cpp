#include "testing/StationDaemon.h"

#include <signal.h>

#include <stdexcept>

#include "forecourt/Database.h"
#include "testing/BridgeStation.h"

namespace fuel::bridge::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using forecourt::Sequence;
using fuel::test::HttpAnswer;
using fuel::test::ReadBytes;
using nlohmann::json;

namespace {

Sequence ReadOne(const fs::path& dir, const std::string& sql, const std::string& station = {}) {
    forecourt::Connection db(dir / "station.db", forecourt::Connection::Mode::ReadOnly);
    forecourt::Statement& select = db.Prepare(sql);
    if (!station.empty())
        select.Bind(1, station);
    const Sequence value = select.Step() ? select.Integer(0) : 0;
    select.Reset();
    return value;
}

}  // namespace

ProgramRun RunDaemonCommand(const fs::path& program, const fs::path& dir,
                            const std::vector<std::string>& words) {
    fuel::test::ChildProcess child(program, words, dir / "command.out", dir / "command.err");
    ProgramRun run;
    run.status = child.Wait(60s);
    run.out = ReadBytes(dir / "command.out");
    run.err = ReadBytes(dir / "command.err");
    return run;
}

StationDaemon::StationDaemon(fs::path program, const std::string& id, const std::string& url,
                             const std::string& office)
    : program_(std::move(program)), id_(id), config_(WriteStation(dir_.Path(), id, url, office)) {
    const ProgramRun run =
        RunDaemonCommand(program_, dir_.Path(),
                         {"token", "add", "ops", "--role", "backoffice", "--config", config_});
    if (run.status != 0 || run.out.size() < 2)
        throw std::runtime_error("token add: " + run.err);
    bearer_ = "Bearer " + run.out.substr(0, run.out.find('\n'));
}

StationDaemon::~StationDaemon() = default;

void StationDaemon::Start() {
    log_ = dir_.Path() / ("daemon-" + std::to_string(++runs_) + ".log");
    daemon_ = std::make_unique<fuel::test::ChildProcess>(
        program_, std::vector<std::string>{"--config", config_, "--listen", "127.0.0.1:0"},
        dir_.Path() / "daemon.out", log_);
    const auto line = fuel::test::WaitForText(log_, "listening on http://127.0.0.1:", 60s);
    if (!line)
        throw std::runtime_error("the daemon did not start: " + ReadBytes(log_));
    port_ = static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    client_ = std::make_unique<fuel::test::HttpClient>(port_);
}

std::optional<int> StationDaemon::Stop() {
    return End(SIGTERM);
}

void StationDaemon::Kill() {
    End(SIGKILL);
}

Sequence StationDaemon::LastSequence() {
    return Forecourt()["sequence"];
}

json StationDaemon::Forecourt() {
    return Get("/api/v1/forecourt");
}

void StationDaemon::Fill(double litres) {
    fuel::test::EventStreamClient stream(
        port_, "/api/v1/events?progress=false&since=" + std::to_string(LastSequence()),
        {{"Authorization", bearer_}});
    Post("/api/v1/fuel-points/1/authorise",
         json{{"preset", {{"kind", "volume"}, {"value", litres}}}}.dump());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline && !stream.Ended()) {
        const auto event = stream.Next(1000ms);
        if (!event || event->type != "sale")
            continue;
        const json sale = json::parse(event->data)["data"];
        if (sale["fuelPoint"] == 1 && sale["state"] == "PAYABLE") {
            Post("/api/v1/sales/" + std::to_string(sale["id"].get<int>()) + "/clear", "");
            return;
        }
    }
    throw std::runtime_error("station " + id_ + ": the fill made no sale");
}

void StationDaemon::Toggle(int count) {
    for (int i = 0; i < count; ++i) {
        const bool closed = Get("/api/v1/fuel-points/1")["closed"];
        Post(std::string("/api/v1/fuel-points/1/") + (closed ? "open" : "close"), "");
    }
}

std::vector<json> StationDaemon::Journal() {
    const Sequence last = LastSequence();
    std::vector<json> events;
    if (last == 0)
        return events;
    fuel::test::EventStreamClient stream(port_, "/api/v1/events?progress=false&since=0",
                                         {{"Authorization", bearer_}});
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline && !stream.Ended()) {
        const auto event = stream.Next(1000ms);
        if (!event)
            continue;
        json parsed = json::parse(event->data);
        if (!parsed["id"].is_number())
            continue;
        const Sequence id = parsed["id"];
        events.push_back(std::move(parsed));
        if (id >= last)
            return events;
    }
    throw std::runtime_error("station " + id_ + ": the event stream ended before " +
                             std::to_string(last));
}

std::vector<json> StationDaemon::Sales() {
    std::vector<json> sales;
    std::string target = "/api/v1/sales?limit=500";
    for (;;) {
        json page = Get(target);
        for (json& sale : page["sales"])
            sales.push_back(std::move(sale));
        if (page["next"].is_null())
            return sales;
        target = page["next"];
    }
}

Sequence StationDaemon::StoredPosition() const {
    return ReadOne(dir_.Path(), "SELECT sequence FROM mqtt_published WHERE station = ?1", id_);
}

Sequence StationDaemon::JournalEnd() const {
    return ReadOne(dir_.Path(), "SELECT MAX(seq) FROM events");
}

std::string StationDaemon::Log() const {
    return ReadBytes(log_);
}

std::optional<int> StationDaemon::End(int signal) {
    client_.reset();
    daemon_->Signal(signal);
    const std::optional<int> status = daemon_->Wait(30s);
    daemon_.reset();
    return status;
}

json StationDaemon::Get(const std::string& target) {
    const HttpAnswer answer = client_->Send("GET", target, {{"Authorization", bearer_}});
    if (answer.status != 200)
        throw std::runtime_error(target + ": " + std::to_string(answer.status) + answer.body);
    return answer.Json();
}

void StationDaemon::Post(const std::string& target, const std::string& body) {
    const HttpAnswer answer = client_->Send(
        "POST", target,
        {{"Authorization", bearer_}, {"Idempotency-Key", "k" + std::to_string(++keys_)}}, body);
    if (answer.status != 200)
        throw std::runtime_error(target + ": " + std::to_string(answer.status) + answer.body);
}

}  // namespace fuel::bridge::test
