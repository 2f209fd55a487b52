// The head office under a chain's load, everything on this machine: a private PostgreSQL
// (durable: fsync and synchronous commit on), a private mosquitto, two built fuel-hq workers
// on one shared subscription with their default [intake] timing, and simulated stations
// that publish their journals as their bridges do (QoS 1, each station's events in order on
// its event topics, the payloads of testing/StationJournal.h) from a few publisher threads,
// one MQTT connection each.
//
//   1. Realistic load: every station publishes at its rate for the duration, the stations
//      spread evenly over each second. Reported: the delay from the publish to the commit of
//      the row, median and 99th percentile, and the CPU of the workers (and, for what it is
//      worth on a shared machine, of PostgreSQL and mosquitto) over the phase.
//   2. Saturation: the next events of every station, as fast as the publishers may. Reported:
//      the committed events per second.
//   3. The database's growth per million events, and its tables' share.
//   4. Per station: the events stored equal those published (count, last sequence), the
//      watermark and the applied cursor at the last one, the sales as many as the events
//      name. Any difference is printed and the exit status is 1.
//
// The delay: each event's publish is stamped on the system clock just before it is handed to
// the MQTT library (which writes it at once); its commit is PostgreSQL's own commit time of
// the transaction that stored the row (track_commit_timestamp on, pg_xact_commit_timestamp
// of the row's xmin), on the same clock. CPU: utime + stime of /proc/PID/stat over the
// phase's wall time, as a share of one core.
//
// A program of its own, not a timed test: its numbers depend on the machine and its load.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bridge/MqttClient.h"
#include "forecourt/EventTypes.h"
#include "hq/Database.h"
#include "testing/Broker.h"
#include "testing/HqProcess.h"
#include "testing/PostgresServer.h"
#include "testing/StationJournal.h"
#include "testing/TestFiles.h"

#ifndef FUEL_HQ_PATH
#error "FUEL_HQ_PATH must name the built program"
#endif

namespace {

using namespace fuel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage = R"(usage: hq_benchmark [options]

Two built fuel-hq workers, a private mosquitto and a private PostgreSQL on this machine;
simulated stations publish their journals to the broker as their bridges do.

  --stations N      stations (default 1000)
  --rate R          events per second of each station in the realistic load (default 0.3)
  --duration S      seconds of the realistic load (default 60; 0 leaves it out)
  --saturation N    events published as fast as possible after it (default 200000; 0 leaves
                    it out)
  --publishers P    publisher threads, one MQTT connection each (default 4)
  --window W        QoS 1 messages in flight per publisher (default 1000)
  --batch-size N    the workers' [intake] batch-size (default: fuel-hq's own)
  --inflight N      the broker's max_inflight_messages: QoS 1 messages on their way to each
                    worker before it acknowledges (default: mosquitto's own, 20)
  --statements      PostgreSQL's pg_stat_statements loaded, and at the end the statements
                    that took the server's time, the costliest first
  --help            this text

Prints the realistic load's publish-to-commit delay (median, 99th percentile) and the
workers' CPU, the saturation's committed events per second, the database's size per million
events, and per station whether the database holds exactly what was published. The workers
run with fuel-hq's default [intake] timing unless --batch-size is given. Exit status 1 when a
station's events are lost or its derived tables incomplete, or a worker does not stop
cleanly; 2 when the benchmark could not run.
)";

struct Options {
    int stations = 1000;
    double rate = 0.3;
    double duration = 60;
    long saturation = 200000;
    int publishers = 4;
    int window = 1000;
    bool statements = false;
    int batchSize = 0;  // 0: the workers' default
    int inflight = 0;   // 0: mosquitto's default
};

template <class Number>
Number Parse(const std::string& option, const char* text, Number low) {
    Number value{};
    const char* end = text + std::strlen(text);
    const auto [at, error] = std::from_chars(text, end, value);
    if (error != std::errc() || at != end || value < low)
        throw std::invalid_argument(option + " wants a number from " + std::to_string(low) +
                                    ", not \"" + text + "\"");
    return value;
}

std::optional<Options> ReadOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return std::nullopt;
        }
        if (option == "--statements") {
            options.statements = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::invalid_argument("unknown option or one without its value: " + option);
        const char* value = argv[++i];
        if (option == "--stations")
            options.stations = Parse(option, value, 1);
        else if (option == "--rate")
            options.rate = Parse(option, value, 0.001);
        else if (option == "--duration")
            options.duration = Parse(option, value, 0.0);
        else if (option == "--saturation")
            options.saturation = Parse(option, value, 0L);
        else if (option == "--publishers")
            options.publishers = Parse(option, value, 1);
        else if (option == "--window")
            options.window = Parse(option, value, 1);
        else if (option == "--inflight")
            options.inflight = Parse(option, value, 1);
        else if (option == "--batch-size")
            options.batchSize = Parse(option, value, 1);
        else
            throw std::invalid_argument("unknown option: " + option);
    }
    return options;
}

std::int64_t MicrosecondsNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A message to publish not before `due`, and where its publish time goes.
struct Item {
    Clock::time_point due;
    const hq::Message* message = nullptr;
    std::int64_t* stamp = nullptr;
};

// One publisher thread's MQTT connection, as a station's bridge connects (3.1.1, a
// persistent session), publishing its items in order within a window of unacknowledged ones.
class Publisher : private bridge::MqttClient::Listener {
  public:
    Publisher(int port, std::string clientId, int window) : window_(window) {
        settings_.host = "127.0.0.1";
        settings_.port = port;
        settings_.clientId = std::move(clientId);
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~Publisher() override { ::close(wakeFd_); }

    void Run(const std::vector<Item>& items) {
        bridge::MqttClient client(settings_, *this);
        client.Connect();
        const auto connectBy = Clock::now() + 10s;
        while (!connected_) {
            if (client.Dead() || Clock::now() > connectBy)
                throw std::runtime_error(settings_.clientId + " did not connect: " + why_);
            client.Service(wakeFd_, 100ms);
        }
        std::size_t next = 0;
        acknowledged_ = 0;
        sent_ = 0;
        while (acknowledged_ < items.size()) {
            const auto now = Clock::now();
            while (next < items.size() && sent_ - acknowledged_ < window_ &&
                   items[next].due <= now) {
                const hq::Message& message = *items[next].message;
                *items[next].stamp = MicrosecondsNow();
                const auto sent = client.Publish(message.topic, message.payload, 1, false);
                if (!sent)
                    throw std::runtime_error(settings_.clientId +
                                             ": a publish failed: " + sent.why);
                ++next;
                ++sent_;
            }
            if (client.Dead())
                throw std::runtime_error(settings_.clientId + " lost the broker: " + why_);
            auto wait = std::chrono::milliseconds(100);
            if (next < items.size() && sent_ - acknowledged_ < window_) {
                wait =
                    std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(std::max(
                                       items[next].due - Clock::now(), Clock::duration::zero())));
            }
            client.Service(wakeFd_, wait);
        }
        client.Disconnect();
        client.Service(wakeFd_, 50ms);
    }

  private:
    void Connected() override { connected_ = true; }
    void Disconnected(const std::string& why) override { why_ = why; }
    void Acknowledged(int) override { ++acknowledged_; }
    void Received(const bridge::MqttMessage&) override {}

    bridge::MqttSettings settings_;
    std::size_t window_;
    int wakeFd_ = -1;
    bool connected_ = false;
    std::string why_;
    std::size_t sent_ = 0;
    std::size_t acknowledged_ = 0;
};

// Each publisher's items on its own thread; returns when all are acknowledged.
void Publish(int port, int window, const std::vector<std::vector<Item>>& perPublisher,
             const std::string& phase) {
    std::vector<std::thread> threads;
    std::vector<std::string> errors(perPublisher.size());
    for (std::size_t p = 0; p < perPublisher.size(); ++p) {
        threads.emplace_back([&, p] {
            try {
                Publisher(port, "bench-" + phase + "-" + std::to_string(p), window)
                    .Run(perPublisher[p]);
            } catch (const std::exception& e) {
                errors[p] = e.what();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& error : errors) {
        if (!error.empty())
            throw std::runtime_error(error);
    }
}

// CPU time of a process so far (utime + stime), in seconds; 0 when it is gone.
double CpuSeconds(pid_t pid, pid_t* parent = nullptr) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    std::vector<std::string> values;
    while (fields >> field && values.size() < 13)
        values.push_back(field);
    if (values.size() < 13)
        return 0;
    if (parent != nullptr)
        *parent = static_cast<pid_t>(std::stol(values[1]));
    return static_cast<double>(std::stoll(values[11]) + std::stoll(values[12])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A process and its children (the postmaster and its backends), those alive now.
double CpuSecondsWithChildren(pid_t pid) {
    double total = CpuSeconds(pid);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.empty() ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        pid_t parent = 0;
        const double seconds = CpuSeconds(static_cast<pid_t>(std::stol(name)), &parent);
        if (parent == pid)
            total += seconds;
    }
    return total;
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double Seconds(Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.at(
        static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1))));
}

std::int64_t Scalar(hq::Connection& db, const std::string& sql) {
    const hq::Result r = db.Exec(sql);
    return r.IsNull(0, 0) ? 0 : r.Integer(0, 0);
}

// Until the query's number reaches `target`, looking every 100 ms; gives up when it has not
// moved for `still`. Returns when it was reached (or nullopt).
std::optional<Clock::time_point> WaitUntil(hq::Connection& db, const std::string& sql,
                                           std::int64_t target, Clock::duration still) {
    std::int64_t last = -1;
    auto moved = Clock::now();
    for (;;) {
        const std::int64_t now = Scalar(db, sql);
        if (now >= target)
            return Clock::now();
        if (now != last) {
            last = now;
            moved = Clock::now();
        } else if (Clock::now() - moved > still) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(100ms);
    }
}

struct Cpu {
    std::vector<pid_t> workers;
    pid_t postgres = 0;
    pid_t broker = 0;
    std::vector<double> Take() const {
        std::vector<double> seconds;
        for (const pid_t worker : workers)
            seconds.push_back(CpuSeconds(worker));
        seconds.push_back(CpuSecondsWithChildren(postgres));
        seconds.push_back(CpuSeconds(broker));
        seconds.push_back(CpuSeconds(::getpid()));
        return seconds;
    }
    void Print(const std::vector<double>& before, const std::vector<double>& after,
               double wall) const {
        const auto share = [&](std::size_t i) { return 100 * (after[i] - before[i]) / wall; };
        std::printf("  CPU over %.1f s, %% of one core:", wall);
        for (std::size_t i = 0; i < workers.size(); ++i)
            std::printf(" worker %zu %.1f%%,", i + 1, share(i));
        const std::size_t base = workers.size();
        std::printf(" PostgreSQL %.1f%%, mosquitto %.1f%%, this benchmark %.1f%%\n", share(base),
                    share(base + 1), share(base + 2));
    }
    double Workers(const std::vector<double>& before, const std::vector<double>& after) const {
        double total = 0;
        for (std::size_t i = 0; i < workers.size(); ++i)
            total += after[i] - before[i];
        return total;
    }
};

const char* Met(bool met) {
    return met ? "met" : "NOT met";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        const auto read = ReadOptions(argc, argv);
        if (!read)
            return 0;
        options = *read;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "hq_benchmark: %s\n%s", e.what(), kUsage);
        return 2;
    }
    const int stations = options.stations;
    const long realistic = std::lround(options.rate * options.duration);  // events per station
    std::vector<long> saturated(static_cast<std::size_t>(stations), options.saturation / stations);
    for (long i = 0; i < options.saturation % stations; ++i)
        ++saturated[static_cast<std::size_t>(i)];

    // Every station's journal, and a publish stamp for each of its events.
    std::vector<hq::test::StationJournal> journals;
    std::vector<std::vector<std::int64_t>> stamps;
    std::unordered_map<std::string, std::size_t> index;
    for (int i = 0; i < stations; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "station-%04d", i);
        journals.emplace_back(name);
        index[name] = static_cast<std::size_t>(i);
        const long events = realistic + saturated[static_cast<std::size_t>(i)];
        for (int fill = 1; static_cast<long>(journals.back().Last()) < events; ++fill)
            hq::test::AddFill(journals.back(), fill);
        stamps.emplace_back(static_cast<std::size_t>(events), 0);
    }
    const auto published = [&](std::size_t i) { return realistic + saturated[i]; };
    const std::size_t publishers = static_cast<std::size_t>(std::min(options.publishers, stations));

    std::printf(
        "hq_benchmark: %d stations, %.3g events/s each for %.0f s (%ld events), then "
        "%ld events at once; %zu publishers; load average %s\n",
        stations, options.rate, options.duration, realistic * stations, options.saturation,
        publishers, LoadAverage().c_str());
    std::fflush(stdout);
    bool sound = true;
    try {
        // The commit times for the delay; the buffers of PostgreSQL's own default.
        std::vector<std::string> settings = {"track_commit_timestamp=on", "shared_buffers=128MB"};
        if (options.statements)
            settings.push_back("shared_preload_libraries=pg_stat_statements");
        test::PostgresServer server({.durable = true, .settings = settings});
        test::BrokerSetup brokerSetup;
        if (options.inflight > 0)
            brokerSetup.config = "max_inflight_messages " + std::to_string(options.inflight) + "\n";
        test::MosquittoBroker broker(brokerSetup);
        test::TemporaryDirectory dir;
        const std::string url = server.ConnectionString("hq");
        std::vector<std::unique_ptr<test::HqProcess>> workers;
        for (const char* name : {"hq-1", "hq-2"}) {
            workers.push_back(std::make_unique<test::HqProcess>(
                dir.Path(), name,
                test::HqWorkerSetup{
                    .program = FUEL_HQ_PATH,
                    .brokerUrl = broker.Url(),
                    .database = url,
                    .intake = options.batchSize > 0
                                  ? "batch-size = " + std::to_string(options.batchSize) + "\n"
                                  : std::string()}));
        }
        hq::Connection db(url);
        if (options.statements)
            db.Exec("CREATE EXTENSION pg_stat_statements");
        // Until a worker takes a probe station's first event: the shared subscription drops
        // what is published before a worker has subscribed.
        {
            test::MqttPeer probe(broker.Port(), {}, "bench-probe");
            hq::test::StationJournal journal("probe");
            hq::test::AddFill(journal, 1);
            const hq::Message& first = journal.Messages().front();
            const auto until = Clock::now() + 30s;
            do {
                if (Clock::now() > until)
                    throw std::runtime_error("no worker took the probe's event");
                probe.Publish(first.topic, first.payload);
                std::this_thread::sleep_for(300ms);
            } while (Scalar(db, "SELECT count(*) FROM events WHERE station = 'probe'") == 0);
        }
        const std::int64_t emptySize = Scalar(db, "SELECT pg_database_size(current_database())");
        const std::string committedSql = "SELECT sum(watermark) FROM stations WHERE id <> 'probe'";
        const std::string appliedSql = "SELECT sum(applied) FROM stations WHERE id <> 'probe'";
        Cpu cpu;
        for (const auto& worker : workers)
            cpu.workers.push_back(worker->Pid());
        cpu.postgres = server.Pid();
        cpu.broker = broker.Pid();
        const auto commitTimes = [&](long from, long to) {
            // Every station's events (from, to]: their publish stamps and commit times, in
            // microseconds.
            const hq::Result rows = db.Exec(
                "SELECT station, sequence, (extract(epoch FROM pg_xact_commit_timestamp(xmin)) "
                "* 1000000)::bigint FROM events WHERE station <> 'probe' AND sequence > $1 AND "
                "sequence <= $2",
                {static_cast<std::int64_t>(from), static_cast<std::int64_t>(to)});
            std::vector<std::pair<std::int64_t, std::int64_t>> pairs;  // stamp, commit
            for (int row = 0; row < rows.Rows(); ++row) {
                const auto found = index.find(std::string(rows.Text(row, 0)));
                const auto sequence = static_cast<std::size_t>(rows.Integer(row, 1));
                if (found == index.end() || sequence > stamps[found->second].size())
                    continue;
                pairs.emplace_back(stamps[found->second][sequence - 1], rows.Integer(row, 2));
            }
            return pairs;
        };

        // ---- 1. The realistic load.
        if (realistic > 0) {
            std::vector<std::vector<Item>> items(publishers);
            const auto start = Clock::now() + 500ms;
            const double period = 1.0 / options.rate;
            for (long k = 0; k < realistic; ++k) {
                for (int i = 0; i < stations; ++i) {
                    const auto due =
                        start +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            (static_cast<double>(k) + static_cast<double>(i) / stations) * period));
                    items[static_cast<std::size_t>(i) % publishers].push_back(
                        {due,
                         &journals[static_cast<std::size_t>(i)]
                              .Messages()[static_cast<std::size_t>(k)],
                         &stamps[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)]});
                }
            }
            const std::vector<double> before = cpu.Take();
            Publish(broker.Port(), options.window, items, "load");
            const auto target = realistic * stations;
            const auto done = WaitUntil(db, committedSql, target, 30s);
            const double wall = Seconds(Clock::now() - start);
            const std::vector<double> after = cpu.Take();
            const auto pairs = commitTimes(0, realistic);
            std::vector<double> delays;
            for (const auto& [stamp, commit] : pairs)
                delays.push_back(static_cast<double>(commit - stamp) / 1e6);
            std::printf("realistic load: %zu of %ld events committed%s; load average %s\n",
                        delays.size(), target, done ? "" : " (the watermark stopped short)",
                        LoadAverage().c_str());
            if (!delays.empty()) {
                const double p50 = Percentile(delays, 0.5), p99 = Percentile(delays, 0.99);
                std::printf("  publish to commit: median %.3f s, p99 %.3f s, max %.3f s\n", p50,
                            p99, Percentile(delays, 1.0));
                cpu.Print(before, after, wall);
                const double workersCore = 100 * cpu.Workers(before, after) / wall;
                std::printf(
                    "  goal p99 < 1 s: %s (%.3f s); goal workers < 20%% of a core: %s "
                    "(both together %.1f%%)\n",
                    Met(p99 < 1.0), p99, Met(workersCore < 20), workersCore);
            }
            std::fflush(stdout);
        }

        // ---- 2. Saturation.
        if (options.saturation > 0) {
            std::vector<std::vector<Item>> items(publishers);
            const auto now = Clock::now();
            const long most = *std::max_element(saturated.begin(), saturated.end());
            for (long k = 0; k < most; ++k) {
                for (int i = 0; i < stations; ++i) {
                    const auto s = static_cast<std::size_t>(i);
                    if (k >= saturated[s])
                        continue;
                    const auto at = static_cast<std::size_t>(realistic + k);
                    items[s % publishers].push_back(
                        {now, &journals[s].Messages()[at], &stamps[s][at]});
                }
            }
            const std::vector<double> before = cpu.Take();
            const std::int64_t first = MicrosecondsNow();
            const auto start = Clock::now();
            Publish(broker.Port(), options.window, items, "saturation");
            const double publishing = Seconds(Clock::now() - start);
            const std::int64_t target = (realistic * stations) + options.saturation;
            const auto done = WaitUntil(db, committedSql, target, 30s);
            const double wall = Seconds(Clock::now() - start);
            const std::vector<double> after = cpu.Take();
            auto pairs = commitTimes(realistic, realistic + most);
            std::vector<std::int64_t> commits;
            for (const auto& [stamp, commit] : pairs)
                commits.push_back(commit);
            std::sort(commits.begin(), commits.end());
            std::printf(
                "saturation: %zu of %ld events committed%s; published (acknowledged by "
                "the broker) in %.2f s, %.0f events/s; load average %s\n",
                commits.size(), options.saturation, done ? "" : " (the watermark stopped short)",
                publishing, static_cast<double>(options.saturation) / publishing,
                LoadAverage().c_str());
            if (commits.size() > 10) {
                const double span = static_cast<double>(commits.back() - first) / 1e6;
                const double rate = static_cast<double>(commits.size()) / span;
                // The middle: from the 10th to the 90th percentile's commit.
                const std::size_t low = commits.size() / 10, high = commits.size() * 9 / 10;
                const double middle = static_cast<double>(high - low) /
                                      (static_cast<double>(commits[high] - commits[low]) / 1e6);
                std::printf(
                    "  committed: %.0f events/s from the first publish to the last "
                    "commit (%.2f s), %.0f events/s between the 10th and 90th "
                    "percentile's commits\n",
                    rate, span, middle);
                cpu.Print(before, after, wall);
                std::printf("  goal > 20000 events/s: %s (%.0f)\n", Met(rate > 20000), rate);
            }
            std::fflush(stdout);
        }

        // ---- The derived tables catch up.
        const std::int64_t total = Scalar(db, committedSql);
        const auto caughtUp = WaitUntil(db, appliedSql, total, 30s);
        std::printf("derived tables %s\n",
                    caughtUp ? "applied up to every station's watermark"
                             : "NOT applied up to every watermark (stopped moving for 30 s)");

        // ---- 3. Size.
        const std::int64_t size = Scalar(db, "SELECT pg_database_size(current_database())");
        const std::int64_t stored = Scalar(db, "SELECT count(*) FROM events");
        if (stored > 0) {
            const double perMillion = 1e6 / static_cast<double>(stored) / (1024.0 * 1024.0);
            std::printf("size: database grew %.0f MB per million events (%lld events)",
                        static_cast<double>(size - emptySize) * perMillion,
                        static_cast<long long>(stored));
            const hq::Result tables = db.Exec(
                "SELECT t, CASE WHEN t = 'events' THEN (SELECT sum(pg_total_relation_size(relid)) "
                "FROM pg_partition_tree('events')) ELSE pg_total_relation_size(t::regclass) END "
                "FROM unnest(ARRAY['events', 'sales', 'fuel_points', 'stations', 'alarms', "
                "'changes']) AS t");
            for (int row = 0; row < tables.Rows(); ++row)
                std::printf("%s %s %.0f MB", row == 0 ? ";" : ",",
                            std::string(tables.Text(row, 0)).c_str(),
                            static_cast<double>(tables.Integer(row, 1)) * perMillion);
            std::printf(" (tables with their indexes, per million events)\n");
        }

        // ---- 4. Per station: what was published, once.
        const hq::Result rows = db.Exec(
            "WITH e AS (SELECT station, count(*) AS n, max(sequence) AS top, "
            "  count(DISTINCT data->>'id') FILTER (WHERE type = $1) AS sold "
            "  FROM events GROUP BY station), "
            "s AS (SELECT station, count(*) AS n FROM sales GROUP BY station) "
            "SELECT st.id, coalesce(e.n, 0), coalesce(e.top, 0), st.watermark, st.applied, "
            "coalesce(e.sold, 0), coalesce(s.n, 0) FROM stations st "
            "LEFT JOIN e ON e.station = st.id LEFT JOIN s ON s.station = st.id",
            {forecourt::event_type::kSale});
        std::vector<bool> seen(static_cast<std::size_t>(stations), false);
        int wrong = 0;
        std::int64_t sales = 0;
        for (int row = 0; row < rows.Rows(); ++row) {
            const auto found = index.find(std::string(rows.Text(row, 0)));
            if (found == index.end())
                continue;
            seen[found->second] = true;
            const long expected = published(found->second);
            const std::int64_t count = rows.Integer(row, 1), top = rows.Integer(row, 2),
                               watermark = rows.Integer(row, 3), applied = rows.Integer(row, 4),
                               sold = rows.Integer(row, 5), sale = rows.Integer(row, 6);
            sales += sale;
            if (count != expected || top != expected || watermark != expected ||
                applied != expected || sale != sold) {
                if (++wrong <= 20) {
                    std::printf(
                        "  %s: published %ld, stored %lld (last %lld), watermark %lld, "
                        "applied %lld, sales %lld of %lld\n",
                        std::string(rows.Text(row, 0)).c_str(), expected,
                        static_cast<long long>(count), static_cast<long long>(top),
                        static_cast<long long>(watermark), static_cast<long long>(applied),
                        static_cast<long long>(sale), static_cast<long long>(sold));
                }
            }
        }
        for (int i = 0; i < stations; ++i) {
            if (!seen[static_cast<std::size_t>(i)] && published(static_cast<std::size_t>(i)) > 0 &&
                ++wrong <= 20) {
                std::printf("  %s: published %ld, the database does not know it\n",
                            journals[static_cast<std::size_t>(i)].Station().c_str(),
                            published(static_cast<std::size_t>(i)));
            }
        }
        if (options.statements) {
            const hq::Result costly = db.Exec(
                "SELECT round(total_exec_time)::bigint, calls, rows, "
                "left(regexp_replace(query, '\\s+', ' ', 'g'), 160) "
                "FROM pg_stat_statements ORDER BY total_exec_time DESC LIMIT 12");
            std::printf("statements (ms in all, calls, rows, text):\n");
            for (int row = 0; row < costly.Rows(); ++row) {
                std::printf("  %8lld %7lld %8lld  %s\n",
                            static_cast<long long>(costly.Integer(row, 0)),
                            static_cast<long long>(costly.Integer(row, 1)),
                            static_cast<long long>(costly.Integer(row, 2)),
                            std::string(costly.Text(row, 3)).c_str());
            }
        }
        std::uint64_t received = 0;
        int replays = 0;
        for (const auto& worker : workers) {
            const test::HqProcess::Stopped stopped = worker->Stop();
            if (stopped.status != 0) {
                std::printf("a worker ended with status %d\n", stopped.status.value_or(-1));
                sound = false;
            }
            received += stopped.stored;
            std::istringstream log(worker->Log());
            for (std::string line; std::getline(log, line);)
                replays += line.find(" again for events ") != std::string::npos;
        }
        std::printf(
            "workers: %llu messages stored in their batches (a QoS 1 repeat counts "
            "twice), %d replay requests for gaps\n",
            static_cast<unsigned long long>(received), replays);
        if (wrong > 0) {
            std::printf("LOSS: %d of %d stations do not hold exactly what they published\n", wrong,
                        stations);
            sound = false;
        } else {
            long all = 0;
            for (std::size_t i = 0; i < journals.size(); ++i)
                all += published(i);
            std::printf(
                "every station: its events stored once each, as published (%ld in all); "
                "watermark and applied at its last; %lld sales, as its events name\n",
                all, static_cast<long long>(sales));
        }
    } catch (const test::PostgresMissing& e) {
        std::fprintf(stderr, "hq_benchmark: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hq_benchmark: %s\n", e.what());
        return 2;
    }
    return sound ? 0 : 1;
}
