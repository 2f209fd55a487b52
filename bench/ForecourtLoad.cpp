// The forecourt server under load: the built fuel-forecourtd on four emulated lines (the
// example bus on each, its customers filling), 200 Server-Sent Events clients and 20 clients
// sending requests (reads of the forecourt and the sales, and authorisations that keep the
// pumps busy), for a given time. It reports the requests per second, how long an event took
// from the poll that saw it (its "at") to a client (median and 99th percentile over every
// event every client received), the daemon's memory at the start and at the end, and whether
// every client received every journaled event, each once, in order.
//
//     forecourt_load_benchmark [--seconds 600] [--sse 200] [--requesters 20]
//
// A benchmark, not a test: its figures depend on the machine.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <random>
#include <thread>

#include "testing/ChildProcess.h"
#include "testing/HttpClient.h"
#include "testing/TestFiles.h"

#ifndef FUEL_FORECOURTD_PATH
#error "FUEL_FORECOURTD_PATH must name the built program"
#endif
#ifndef FUEL_SOURCE_DIR
#error "FUEL_SOURCE_DIR must name the source tree"
#endif

namespace {

using namespace std::chrono_literals;
using fuel::test::Headers;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kLines = 4;

// Four lines, each the example bus with customers, four fuel points on each.
std::string Station(const fs::path& directory) {
    const std::string bus = std::string(FUEL_SOURCE_DIR) + "/examples/bus/station.conf";
    std::string text = "[forecourt]\ndatabase = " + (directory / "forecourt.db").string() + "\n";
    text +=
        "[grade 95]\nname = Super 95\nprice = 45.67\n[grade 92]\nname = Regular 92\n"
        "price = 48.17\n[grade DT]\nname = Diesel\nprice = 51.20\n[grade 98]\n"
        "name = Super Plus 98\nprice = 53.70\n";
    const char* const nozzles[] = {"95 92", "95 92", "DT 98", "95 92"};
    const int addresses[] = {1, 3, 5, 7};
    int point = 0;
    for (int line = 1; line <= kLines; ++line) {
        text += "[line l" + std::to_string(line) + "]\nport = emulator:" + bus +
                "\ncustomers = yes\ncustomer-seed = " + std::to_string(line) + "\n";
        for (int i = 0; i < 4; ++i) {
            text += "[fuel-point " + std::to_string(++point) + "]\nline = l" +
                    std::to_string(line) + "\naddress = " + std::to_string(addresses[i]) +
                    "\nnozzles = " + nozzles[i] + "\n";
        }
    }
    return text;
}

long ResidentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty())
        return 0;
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

struct Listener {
    std::vector<std::int64_t> ids;
    std::vector<double> latencies;  // milliseconds
    bool ended = false;
};

}  // namespace

int main(int argc, char** argv) {
    int seconds = 600;
    int sseClients = 200;
    int requesters = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--seconds")
            seconds = value;
        if (option == "--sse")
            sseClients = value;
        if (option == "--requesters")
            requesters = value;
    }
    signal(SIGPIPE, SIG_IGN);
    fuel::test::TemporaryDirectory directory;
    const fs::path config = directory.Path() / "station.ini";
    fuel::test::WriteBytes(config, Station(directory.Path()));
    const std::string bearer =
        "Bearer " + fuel::test::RunForOutput(
                        FUEL_FORECOURTD_PATH,
                        {"token", "add", "load", "--role", "pos", "--config", config.string()},
                        directory.Path(), 60s);

    fuel::test::ChildProcess daemon(
        FUEL_FORECOURTD_PATH,
        {"--config", config.string(), "--listen", "127.0.0.1:0", "--max-connections", "1024",
         "--max-connections-per-peer", "1024", "--threads", "2"},
        directory.Path() / "daemon.out", directory.Path() / "daemon.log");
    const auto listening = fuel::test::WaitForText(directory.Path() / "daemon.log",
                                                   "listening on http://127.0.0.1:", 60s);
    if (!listening) {
        std::fprintf(stderr, "the daemon did not start:\n%s",
                     fuel::test::ReadBytes(directory.Path() / "daemon.log").c_str());
        return 1;
    }
    const auto port =
        static_cast<std::uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    std::this_thread::sleep_for(2s);
    const long memoryAtStart = ResidentKilobytes(daemon.Pid());

    fuel::test::HttpClient probe(port);
    const std::int64_t start =
        probe.Send("GET", "/api/v1/forecourt", {{"Authorization", bearer}}).Json()["sequence"];

    std::atomic<bool> running{true};
    std::atomic<std::int64_t> target{std::numeric_limits<std::int64_t>::max()};
    std::vector<Listener> listeners(static_cast<std::size_t>(sseClients));
    std::vector<std::thread> threads;
    for (int c = 0; c < sseClients; ++c) {
        threads.emplace_back([&, c] {
            Listener& me = listeners[static_cast<std::size_t>(c)];
            fuel::test::EventStreamClient stream(
                port, "/api/v1/events?since=" + std::to_string(start), {{"Authorization", bearer}});
            if (stream.Status() != 200) {
                me.ended = true;
                return;
            }
            std::int64_t lastId = start;
            auto heard = Clock::now();
            while (true) {
                // Once the load stops, on until the last event, or until it is long silent.
                if (!running && (lastId >= target || Clock::now() - heard > 30s))
                    return;
                const auto event = stream.Next(500ms);
                if (!event) {
                    if (stream.Ended()) {
                        me.ended = true;
                        return;
                    }
                    continue;
                }
                heard = Clock::now();
                const auto received = std::chrono::system_clock::now();
                const auto json = nlohmann::json::parse(event->data);
                if (event->id) {
                    me.ids.push_back(*event->id);
                    lastId = *event->id;
                }
                if (const auto at = json.value("at", std::string()); !at.empty()) {
                    // "2024-05-01T10:00:00.123Z": the poll's time, to the millisecond.
                    std::tm tm{};
                    int ms = 0;
                    if (std::sscanf(at.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon,
                                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) == 7) {
                        tm.tm_year -= 1900;
                        tm.tm_mon -= 1;
                        const auto when = std::chrono::system_clock::from_time_t(timegm(&tm)) +
                                          std::chrono::milliseconds(ms);
                        me.latencies.push_back(
                            std::chrono::duration<double, std::milli>(received - when).count());
                    }
                }
            }
        });
    }

    std::atomic<long> requests{0};
    std::atomic<long> failures{0};
    std::mutex latencyMutex;
    std::vector<double> requestLatencies;
    for (int r = 0; r < requesters; ++r) {
        threads.emplace_back([&, r] {
            fuel::test::HttpClient client(port);
            std::mt19937 random(static_cast<unsigned>(r));
            std::vector<double> mine;
            long key = 0;
            while (running) {
                const auto begun = Clock::now();
                fuel::test::HttpAnswer answer;
                const auto pick = random() % 10;
                if (pick < 6) {
                    answer = client.Send("GET", "/api/v1/forecourt", {{"Authorization", bearer}});
                } else if (pick < 8) {
                    answer =
                        client.Send("GET", "/api/v1/sales?limit=20", {{"Authorization", bearer}});
                } else {
                    const int point = static_cast<int>(random() % 16) + 1;
                    answer = client.Send(
                        "POST", "/api/v1/fuel-points/" + std::to_string(point) + "/authorise",
                        {{"Authorization", bearer},
                         {"Idempotency-Key",
                          "load-" + std::to_string(r) + "-" + std::to_string(++key)}},
                        R"({"preset":{"kind":"money","value":25}})");
                    // A full sale buffer is the pumps' business: clear what is payable.
                    if (answer.status == 409) {
                        const auto sales = client.Send("GET", "/api/v1/sales?state=PAYABLE&limit=5",
                                                       {{"Authorization", bearer}});
                        for (const auto& sale :
                             sales.Json().value("sales", nlohmann::json::array())) {
                            client.Send("POST", "/api/v1/sales/" + sale["id"].dump() + "/clear",
                                        {{"Authorization", bearer},
                                         {"Idempotency-Key", "clear-" + sale["id"].dump()}});
                            requests += 1;
                        }
                    }
                }
                mine.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
                ++requests;
                if (answer.status == 0 || answer.status >= 500)
                    ++failures;
            }
            std::lock_guard lock(latencyMutex);
            requestLatencies.insert(requestLatencies.end(), mine.begin(), mine.end());
        });
    }

    const auto began = Clock::now();
    for (int s = 0; s < seconds; ++s) {
        std::this_thread::sleep_for(1s);
        if ((s + 1) % 60 == 0) {
            std::fprintf(stderr, "%d s: %ld requests, daemon %ld kB\n", s + 1, requests.load(),
                         ResidentKilobytes(daemon.Pid()));
        }
    }
    const long memoryAtEnd = ResidentKilobytes(daemon.Pid());
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    const long requestCount = requests.load();
    const std::int64_t last =
        probe.Send("GET", "/api/v1/forecourt", {{"Authorization", bearer}}).Json()["sequence"];
    target = last;
    running = false;
    for (std::thread& thread : threads)
        thread.join();

    int complete = 0;
    std::vector<double> latencies;
    for (const Listener& l : listeners) {
        bool whole = !l.ids.empty() && l.ids.front() == start + 1;
        for (std::size_t i = 1; whole && i < l.ids.size(); ++i)
            whole = l.ids[i] == l.ids[i - 1] + 1;
        whole = whole && l.ids.back() >= last;
        complete += whole ? 1 : 0;
        latencies.insert(latencies.end(), l.latencies.begin(), l.latencies.end());
    }
    daemon.Signal(SIGTERM);
    const int status = daemon.Wait(30s).value_or(-1);

    std::printf(
        "fuel-forecourtd under load: %d lines, 16 fuel points, %d event clients, "
        "%d request clients, %.0f s\n",
        kLines, sseClients, requesters, elapsed);
    std::printf(
        "requests: %ld (%.0f per second), failed %ld; answer time median %.2f ms, "
        "p99 %.2f ms\n",
        requestCount, static_cast<double>(requestCount) / elapsed, failures.load(),
        Percentile(requestLatencies, 0.5), Percentile(requestLatencies, 0.99));
    std::printf(
        "events journaled: %lld; clients that received every one, once, in order: %d "
        "of %d\n",
        static_cast<long long>(last - start), complete, sseClients);
    std::printf("event latency, poll to client (%zu deliveries): median %.1f ms, p99 %.1f ms\n",
                latencies.size(), Percentile(latencies, 0.5), Percentile(latencies, 0.99));
    std::printf("daemon memory (RSS): %ld kB at the start, %ld kB at the end\n", memoryAtStart,
                memoryAtEnd);
    std::printf("daemon stopped with status %d\n", status);
    return complete == sseClients && status == 0 ? 0 : 1;
}
