// A sale's commit: what a poll loop waits for when a fill ends. One transaction as the loop
// writes it (the fill becomes a sale, its event and the fuel point's event appended), on a
// journal file on this machine's disk with synchronous=FULL, so each commit is on the disk
// before it returns. Alone, and with four loops committing at once (their jobs share commits).
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "forecourt/Journal.h"
#include "forecourt/Store.h"
#include "testing/TestFiles.h"

namespace {

using namespace fuel::forecourt;

SaleId Sale(Journal& journal) {
    return journal
        .Write([](WriteTransaction& t) {
            const Time at = std::chrono::system_clock::now();
            const SaleId id =
                InsertAuthorised(t.Db(), 1, Preset::Volume(10), {}, false, "till", at);
            MarkStarted(t.Db(), id, 1, "95", 45.67, 1000, at);
            const auto sale = MarkEnded(t.Db(), id, {10, 456.7, false, 1010, std::nullopt}, at);
            t.AppendEvent(event_type::kSale, ToJson(sale), at);
            t.AppendEvent(event_type::kFuelPoint, {{"id", 1}, {"state", "IDLE"}}, at);
            return id;
        })
        .get();
}

void BM_SaleCommit(benchmark::State& state) {
    const fuel::test::TemporaryDirectory dir;
    Journal journal(dir.Path() / "journal.db");
    journal.Start();
    const auto writers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::vector<std::thread> loops;
        for (int i = 1; i < writers; ++i)
            loops.emplace_back([&] { Sale(journal); });
        Sale(journal);
        for (auto& loop : loops)
            loop.join();
    }
    state.counters["sales_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * writers), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SaleCommit)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
