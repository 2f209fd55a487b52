// The journal's retention on a generated journal: what one deletion step holds the writer
// for, what a poll loop's commit waits meanwhile, and what each kind of row takes on the disk,
// from which the journal's size per year at the default retention follows.
//
// The journal is made with the daemon's own code (the store's functions, the events' JSON as
// the forecourt writes it): per fill its authorisation and clear with their idempotency keys,
// two totaliser readings and ten events, as a busy station has them. Everything is dated
// long ago, so that the retention (1 day, 1 year, 1 day) has all of it to delete while a
// writer commits a sale every few milliseconds, as a line does. A program of its own, not
// Google Benchmark: it reports what it measured.
//
//     retention_benchmark [FILLS]     (default 50000)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "forecourt/Journal.h"
#include "forecourt/Requests.h"
#include "forecourt/Retention.h"
#include "forecourt/Store.h"
#include "testing/TestFiles.h"

namespace {

using namespace fuel::forecourt;
using Clock = std::chrono::steady_clock;

constexpr int kEventsPerFill = 10;
constexpr int kFillsPerDay = 2000;

FuelPointView View(int id, FuelPointState state, const std::optional<FillView>& fill) {
    FuelPointView view;
    view.id = id;
    view.line = "forecourt";
    view.address = id * 2 - 1;
    view.state = state;
    view.nozzles = {{1, "95", 45.67}, {2, "92", 48.17}};
    view.fill = fill;
    return view;
}

// One fill from authorisation to cleared sale, as the forecourt writes it.
void WriteFill(Connection& db, WriteTransaction& t, int n, Time at) {
    const int point = 1 + n % 8;
    const Caller till{"till-" + std::to_string(1 + n % 3), "key-" + std::to_string(n)};
    const RequestRecord authorise{till,
                                  {{"operation", "authorise"},
                                   {"fuelPoint", point},
                                   {"preset", ToJson(Preset::Money(500))},
                                   {"grades", nlohmann::json::array()},
                                   {"prepaid", false}}};
    const SaleId id = InsertAuthorised(db, point, Preset::Money(500), {}, false, till.client, at);
    FillView fill;
    fill.id = id;
    fill.preset = Preset::Money(500);
    fill.authorisedBy = till.client;
    fill.authorisedAt = at;
    Remember(db, authorise, Outcome::Success(ToJson(View(point, FuelPointState::Authorised, fill))),
             at);
    const double before = 100000.0 + n * 10.93;
    MarkStarted(db, id, 1, "95", 45.67, before, at);
    InsertReading(db, point, 1, before, at, "read");
    fill.state = FillState::Fuelling;
    fill.nozzle = 1;
    fill.grade = "95";
    fill.price = 45.67;
    fill.startedAt = at;
    const Sale sale = MarkEnded(db, id, {10.95, 500.09, false, before + 10.95, std::nullopt}, at);
    InsertReading(db, point, 1, before + 10.95, at, "read");
    const SaleChange cleared = ChangeSale(db, id, SaleOperation::Clear, till.client, at);
    Remember(db, {{till.client, till.key + "-clear"}, {{"operation", "clear"}, {"sale", id}}},
             cleared.outcome, at);
    // Ten events: the fuel point's states and the sale's, as a fill makes them.
    const FuelPointState states[] = {FuelPointState::Calling,  FuelPointState::Authorised,
                                     FuelPointState::Fuelling, FuelPointState::Fuelling,
                                     FuelPointState::Idle,     FuelPointState::Calling,
                                     FuelPointState::Idle,     FuelPointState::Idle};
    for (const FuelPointState state : states) {
        t.AppendEvent(event_type::kFuelPoint,
                      ToJson(View(point, state,
                                  state == FuelPointState::Idle || state == FuelPointState::Calling
                                      ? std::nullopt
                                      : std::optional<FillView>(fill))),
                      at);
    }
    t.AppendEvent(event_type::kSale, ToJson(sale), at);
    t.AppendEvent(event_type::kSale, ToJson(*cleared.sale), at);
}

struct Spread {
    double median = 0;
    double p99 = 0;
    double max = 0;
};
Spread SpreadOf(std::vector<double> values) {
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        return values[std::min(values.size() - 1,
                               static_cast<std::size_t>(q * static_cast<double>(values.size())))];
    };
    return {at(0.5), at(0.99), values.back()};
}
double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A line's commits, one every 5 ms, while `running`: how long each waits for the writer.
std::vector<double> CommitsWhile(Journal& journal, const std::atomic<bool>& running) {
    std::vector<double> waits;
    while (running) {
        const auto begun = Clock::now();
        journal
            .Write([](WriteTransaction& t) {
                t.AppendEvent(event_type::kFuelPoint, {{"id", 1}, {"state", "IDLE"}},
                              std::chrono::system_clock::now());
            })
            .get();
        waits.push_back(Ms(Clock::now() - begun));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return waits;
}

}  // namespace

int main(int argc, char** argv) {
    const int fills = argc > 1 ? std::atoi(argv[1]) : 50000;
    const fuel::test::TemporaryDirectory dir;
    const auto file = dir.Path() / "journal.db";
    Journal journal(file);
    journal.Start();
    const Time long_ago = std::chrono::system_clock::now() - std::chrono::hours(24 * 800);
    constexpr int kPerCommit = 500;
    for (int n = 0; n < fills; n += kPerCommit) {
        journal
            .Write([&](WriteTransaction& t) {
                for (int i = n; i < std::min(fills, n + kPerCommit); ++i)
                    WriteFill(t.Db(), t, i, long_ago + std::chrono::seconds(40) * i);
            })
            .get();
    }
    journal.Stop();

    // What each table with its indexes takes, per row.
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> tables;  // bytes, rows
    {
        Connection db(file, Connection::Mode::ReadWrite);
        db.Execute("PRAGMA wal_checkpoint(TRUNCATE)");
        Statement& pages = db.Prepare(
            "SELECT COALESCE(m.tbl_name, s.name), SUM(s.pgsize) FROM dbstat AS s "
            "LEFT JOIN sqlite_master AS m ON m.name = s.name GROUP BY 1");
        while (pages.Step())
            tables[pages.Text(0)].first = pages.Integer(1);
        pages.Reset();
        for (auto& [name, figures] : tables) {
            if (name.rfind("sqlite_", 0) == 0)
                continue;
            Statement& count = db.Prepare("SELECT COUNT(*) FROM \"" + name + "\"");
            count.Step();
            figures.second = count.Integer(0);
            count.Reset();
        }
    }
    std::printf("generated %d fills: %.1f MB\n", fills,
                static_cast<double>(std::filesystem::file_size(file)) / 1e6);
    std::map<std::string, double> perRow;
    for (const auto& [name, figures] : tables) {
        if (figures.second == 0)
            continue;
        perRow[name] = static_cast<double>(figures.first) / static_cast<double>(figures.second);
        std::printf("  %-10s %9lld rows %8.1f MB  %6.1f bytes a row (indexes included)\n",
                    name.c_str(), static_cast<long long>(figures.second),
                    static_cast<double>(figures.first) / 1e6, perRow[name]);
    }

    // The commits a line makes, first alone, then while the retention deletes everything.
    Journal running(file);
    std::vector<double> steps;
    std::map<std::string, std::vector<double>> byKind;
    auto retention = std::make_shared<Retention>(RetentionConfig{1, 1, 1});
    std::atomic<bool> deleting{false};
    running.SetHousekeeping(
        [&](Connection& db) {
            if (!deleting)
                return false;
            const Retention::Deleted before = retention->Totals();
            const auto begun = Clock::now();
            const bool more = retention->Step(db, std::chrono::system_clock::now());
            steps.push_back(Ms(Clock::now() - begun));
            const Retention::Deleted& after = retention->Totals();
            const char* kind = after.events != before.events       ? "events"
                               : after.sales != before.sales       ? "sales"
                               : after.readings != before.readings ? "readings"
                               : after.requests != before.requests ? "keys"
                                                                   : "none";
            byKind[kind].push_back(steps.back());
            if (!more)
                deleting = false;
            return more;
        },
        std::chrono::milliseconds(50));
    running.Start();
    std::atomic<bool> measuring{true};
    std::vector<double> alone;
    std::thread baseline([&] { alone = CommitsWhile(running, measuring); });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    measuring = false;
    baseline.join();
    deleting = true;
    measuring = true;
    const auto begun = Clock::now();
    std::vector<double> meanwhile;
    std::thread line([&] { meanwhile = CommitsWhile(running, measuring); });
    while (deleting)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto took = Clock::now() - begun;
    measuring = false;
    line.join();
    const Journal::HousekeepingTimes times = running.Housekeeping();
    running.Stop();

    const Retention::Deleted& deleted = retention->Totals();
    const Spread step = SpreadOf(steps);
    const Spread a = SpreadOf(alone);
    const Spread m = SpreadOf(meanwhile);
    std::printf(
        "retention: %llu events, %llu sales, %llu readings, %llu keys deleted in %zu steps of "
        "at most %zu rows, %.1f s\n",
        static_cast<unsigned long long>(deleted.events),
        static_cast<unsigned long long>(deleted.sales),
        static_cast<unsigned long long>(deleted.readings),
        static_cast<unsigned long long>(deleted.requests), steps.size(), Retention::kBatch,
        std::chrono::duration<double>(took).count());
    std::printf("  a step's deletion: median %.2f ms, p99 %.2f ms, max %.2f ms\n", step.median,
                step.p99, step.max);
    for (const auto& [kind, times] : byKind) {
        const Spread k = SpreadOf(times);
        std::printf("    %-8s %5zu steps: median %.2f ms, p99 %.2f ms, max %.2f ms\n", kind.c_str(),
                    times.size(), k.median, k.p99, k.max);
    }
    std::printf("  a step with its commit (the writer held): longest %.2f ms, mean %.2f ms\n",
                Ms(times.longest),
                times.steps > 0 ? Ms(times.total) / static_cast<double>(times.steps) : 0.0);
    std::printf(
        "  a line's commit alone:           median %.2f ms, p99 %.2f ms, max %.2f ms (%zu)\n",
        a.median, a.p99, a.max, alone.size());
    std::printf(
        "  a line's commit during deletion: median %.2f ms, p99 %.2f ms, max %.2f ms (%zu)\n",
        m.median, m.p99, m.max, meanwhile.size());

    // The journal's size with the defaults: events for 90 days, sales and readings for 10
    // years, keys for 7 days, at 2,000 fills a day.
    const double perFill = perRow["fills"] + 2 * perRow["readings"];
    const double events = 90.0 * kFillsPerDay * kEventsPerFill * perRow["events"];
    const double keys = 7.0 * kFillsPerDay * 2 * perRow["requests"];
    const double year = 365.0 * kFillsPerDay * perFill;
    std::printf(
        "size at the defaults, %d fills a day: events (90 days) %.0f MB, keys (7 days) %.0f MB, "
        "sales and readings %.0f MB a year: %.0f MB after one year, %.0f MB from the tenth on\n",
        kFillsPerDay, events / 1e6, keys / 1e6, year / 1e6, (events + keys + year) / 1e6,
        (events + keys + 10 * year) / 1e6);
    return 0;
}
