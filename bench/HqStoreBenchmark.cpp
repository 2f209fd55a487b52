// The head office's store on a private PostgreSQL (durable: fsync and synchronous commit
// on): station journals made with the forecourt's encoders at a fill's mix of events, taken
// in batches as a worker takes them off the broker (stations interleaved), stored and
// applied. Reports the committed events per second for the intake alone and for the intake
// with the apply, and the database's size per million events. A program of its own, not a
// timed test: its numbers depend on the machine.
//
//     hq_store_benchmark [stations=1000] [fills per station=20] [batch=500]
//
// With FUEL_HQ_BENCHMARK_SERVER set to a libpq connection string of a server's maintenance
// database, it runs there instead (to look at the plans while it runs).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hq/Apply.h"
#include "hq/Database.h"
#include "hq/Intake.h"
#include "hq/Schema.h"
#include "testing/PostgresServer.h"
#include "testing/StationJournal.h"

namespace {

using namespace fuel;
using Clock = std::chrono::steady_clock;

// A station's journal of fills (testing/StationJournal.h: the forecourt's encoders, the
// bridge's payloads).
std::vector<hq::Message> Journal(const std::string& station, int fills) {
    hq::test::StationJournal journal(station);
    for (int fill = 1; fill <= fills; ++fill)
        hq::test::AddFill(journal, fill);
    return journal.Messages();
}

double Seconds(Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int stations = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int fills = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::size_t batch = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 500;
    std::vector<std::vector<hq::Message>> journals;
    for (int i = 0; i < stations; ++i)
        journals.push_back(Journal("station-" + std::to_string(i), fills));
    // As the broker hands them over: each station's events in order, the stations interleaved.
    std::vector<hq::Message> delivered;
    for (std::size_t at = 0; at < journals.front().size(); ++at) {
        for (const auto& journal : journals)
            delivered.push_back(journal[at]);
    }
    try {
        const char* given = std::getenv("FUEL_HQ_BENCHMARK_SERVER");
        std::unique_ptr<fuel::test::PostgresServer> server;
        if (given == nullptr)
            server = std::make_unique<fuel::test::PostgresServer>();
        for (const bool apply : {false, true}) {
            const std::string name = apply ? "with_apply" : "intake_only";
            std::string url;
            if (server) {
                url = server->CreateDatabase(name);
            } else {
                hq::Connection maintenance(given);
                maintenance.Exec("DROP DATABASE IF EXISTS " + name);
                maintenance.Exec("CREATE DATABASE " + name);
                url = std::string(given) + " dbname=" + name;  // the last dbname counts
            }
            hq::Connection db(url);
            hq::Migrate(db);
            hq::Intake intake(db);
            std::size_t stored = 0;
            const auto start = Clock::now();
            for (std::size_t at = 0; at < delivered.size(); at += batch) {
                const auto part = std::span<const hq::Message>(delivered).subspan(
                    at, std::min(batch, delivered.size() - at));
                const hq::IntakeReport report = intake.Store(part);
                stored += report.stored;
                if (apply)
                    hq::Apply(db, report.ready);
            }
            const double took = Seconds(Clock::now() - start);
            const std::int64_t size =
                db.Exec("SELECT pg_database_size(current_database())").Integer(0, 0);
            const std::int64_t eventsSize =
                db.Exec(
                      "SELECT sum(pg_total_relation_size(inhrelid)) FROM pg_inherits "
                      "WHERE inhparent = 'events'::regclass")
                    .Integer(0, 0);
            std::printf(
                "%-11s %zu events of %d stations in batches of %zu: %.2f s, %.0f events/s "
                "committed; database %.1f MB per million events (events table %.1f MB)\n",
                name.c_str(), stored, stations, batch, took, static_cast<double>(stored) / took,
                static_cast<double>(size) / 1e6 * 1e6 / static_cast<double>(stored),
                static_cast<double>(eventsSize) / 1e6 * 1e6 / static_cast<double>(stored));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "hq_store_benchmark: %s\n", error.what());
        return 1;
    }
    return 0;
}
