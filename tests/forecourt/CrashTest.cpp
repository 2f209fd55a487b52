// A crash at any instant: the forecourt runs fills in a child process against fuel-emulator
// (with its customers, who also come unasked to a mode-'0' pump that dispenses for them
// without a release) on a pseudo-terminal, and the test kills the child with SIGKILL at
// every stage of a fill's life: while authorised, while fuelling, between the fill's end at
// the pump and its sale, and during a clear. Each time a new child starts on the same
// journal. At the end every fill the customers finished is in the journal exactly once, with
// the emulator's volume and amount, authorised or not, and no sale that a child saw cleared is
// uncleared.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "forecourt/Forecourt.h"
#include "testing/EmulatorProcess.h"
#include "testing/ForkedChild.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

namespace fs = std::filesystem;
using fuel::test::Say;
using namespace std::chrono_literals;

constexpr char kBus[] = R"(
[dispenser 1]
nozzles = 2
mode = 1
flow = 4
price = 45.67 48.17
total = 1000.00 2000.00
[dispenser 3]
nozzles = 2
mode = 1
layout = marked
flow = 4
price = 45.67 48.17
total = 3000.00 4000.00
[dispenser 5]
nozzles = 2
mode = 0x42
decimals = 3 2
flow = 4
price = 45.67 48.17
total = 5000.00 6000.00
[dispenser 7]
nozzles = 1
mode = 0
flow = 4
price = 45.67
total = 7000.00
)";

std::string Station(const std::string& device) {
    return "[forecourt]\ndatabase = journal.db\n\n[line pumps]\nport = " + device +
           "\n\n[grade 95]\nname = Super 95\nprice = 45.67\n[grade 92]\nname = Regular 92\n"
           "price = 48.17\n\n"
           "[fuel-point 1]\nline = pumps\naddress = 1\nnozzles = 95 92\n"
           "[fuel-point 2]\nline = pumps\naddress = 3\nnozzles = 95 92\n"
           "[fuel-point 3]\nline = pumps\naddress = 5\nnozzles = 95 92\n"
           "[fuel-point 4]\nline = pumps\naddress = 7\nnozzles = 95\n";
}

// The child: a forecourt and a till that authorises every free fuel point with a small
// volume preset and clears every sale, telling the parent what it is about to do or has
// done. When finishing, it authorises nothing more, withdraws what nobody took up, and ends
// once every fill is settled and every sale cleared.
[[noreturn]] void Child(const Config& config, int out, bool finishing) {
    try {
        Forecourt forecourt(config);
        forecourt.Start();
        Subscription fuelling = forecourt.Subscribe(
            std::nullopt,
            [out](const Event& event) {
                if (event.type == event_type::kFuelPoint && event.data["state"] == "FUELLING") {
                    Say(out, "fuelling " + std::to_string(event.data["id"].get<int>()));
                }
            },
            false);
        Say(out, "ready");
        const std::string me = std::to_string(::getpid());
        int authorisations = 0;
        for (;;) {
            bool settled = true;
            for (const Sale& sale : forecourt.Sales(SaleFilter{})) {
                if (sale.state == FillState::Cleared)
                    continue;
                settled = false;
                const std::string id = std::to_string(sale.id);
                Say(out, "clearing " + id);
                const Outcome cleared = Forecourt::Await([&](Done done) {
                    forecourt.ClearSale(sale.id, {"crash-test", "clear-" + id}, done);
                });
                if (cleared.Ok())
                    Say(out, "cleared " + id);
            }
            for (const FuelPointView& point : forecourt.GetSnapshot().fuelPoints) {
                if (point.fill)
                    settled = false;
                // Closing: nobody comes unasked to take an authorisation up, so it is withdrawn.
                if (finishing && point.fill && point.fill->state == FillState::Authorised) {
                    Forecourt::Await([&](Done done) {
                        forecourt.Stop(
                            point.id,
                            {"crash-test", me + "-withdraw-" + std::to_string(point.fill->id)},
                            done);
                    });
                }
                const bool free =
                    point.state == FuelPointState::Idle || point.state == FuelPointState::Calling;
                if (finishing || !free || point.fill)
                    continue;
                const double litres = 1.0 + 0.5 * (authorisations % 5);
                AuthoriseRequest request{point.id, Preset::Volume(litres), {}, false};
                const Outcome authorised = Forecourt::Await([&](Done done) {
                    forecourt.Authorise(
                        request, {"crash-test", me + "-" + std::to_string(++authorisations)}, done);
                });
                if (authorised.Ok())
                    Say(out, "authorised " + std::to_string(point.id));
            }
            if (finishing && settled) {
                Say(out, "done");
                forecourt.Stop();
                ::_exit(0);
            }
            std::this_thread::sleep_for(20ms);
        }
    } catch (const std::exception& error) {
        Say(out, std::string("error ") + error.what());
        ::_exit(3);
    }
}

// A child running the forecourt (see Child).
class Crash : public fuel::test::ForkedChild {
  public:
    Crash(const Config& config, bool finishing)
        : ForkedChild([&](int out) { Child(config, out, finishing); }) {}
};

std::size_t LineCount(const fs::path& file) {
    std::ifstream in(file);
    return static_cast<std::size_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

struct PumpFill {
    int dispenser = 0;
    int nozzle = 0;
    double volume = 0;
    double amount = 0;
    double total = 0;
};

std::vector<PumpFill> CustomerFills(const fs::path& log) {
    std::vector<PumpFill> fills;
    std::ifstream in(log);
    PumpFill fill;
    while (in >> fill.dispenser >> fill.nozzle >> fill.volume >> fill.amount >> fill.total) {
        fills.push_back(fill);
    }
    return fills;
}

struct Stage {
    const char* marker;  // what the child says (or the customers' log) before the kill
    int maxDelayMs;      // the kill comes a random time after it, up to this
};

TEST(CrashTest, EveryFillOnceAfterKillsAtEveryStageOfItsLife) {
    fuel::test::TemporaryDirectory directory;
    const fs::path log = directory.Path() / "customers.log";
    fuel::test::WriteBytes(directory.Path() / "bus.conf", kBus);
    fuel::test::EmulatorProcess emulator({FUEL_EMULATOR_PATH,
                                          (directory.Path() / "bus.conf").string(),
                                          std::nullopt,
                                          std::nullopt,
                                          {"--no-pace", "--customers", "7", "--customer-every", "1",
                                           "--customer-log", log.string()}});
    const Config config = ParseConfig(Station(emulator.Device()), directory.Path() / "station.ini");

    // "fill-ended": a fill ended at the pump (the customer hung up); the forecourt has yet to
    // see it and make its sale, which takes a poll and a commit, so the kills come soon.
    const Stage stages[] = {
        {"authorised", 300}, {"fuelling", 400}, {"fill-ended", 40}, {"clearing", 8}};
    constexpr int kRounds = 8;
    std::mt19937 random(2024);
    std::set<std::string> cleared;
    int kills = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (const Stage& stage : stages) {
            Crash child(config, false);
            const std::string marker = stage.marker;
            const std::size_t logged = LineCount(log);
            bool reached = false;
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            while (!reached && std::chrono::steady_clock::now() < deadline) {
                const auto line = child.Line(10ms);
                ASSERT_FALSE(line && line->starts_with("error")) << *line;
                reached = marker == "fill-ended" ? LineCount(log) > logged
                                                 : line && line->starts_with(marker + " ");
            }
            ASSERT_TRUE(reached) << "round " << round << ": no " << marker;
            std::uniform_int_distribution<int> delay(0, stage.maxDelayMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
            child.Kill();
            ++kills;
            for (const std::string& line : child.Said()) {
                if (line.starts_with("cleared "))
                    cleared.insert(line.substr(8));
            }
        }
    }
    RecordProperty("kills", kills);
    if (const char* keep = std::getenv("FORECOURT_CRASH_KEEP")) {
        std::error_code ignored;
        fs::copy(directory.Path(), keep, fs::copy_options::recursive, ignored);
    }
    std::cout << "killed the forecourt " << kills << " times\n";

    // Nothing a child saw cleared is uncleared, before anyone clears again.
    {
        Connection db(directory.Path() / "journal.db", Connection::Mode::ReadOnly);
        for (const std::string& id : cleared) {
            Statement& state = db.Prepare("SELECT state FROM fills WHERE id = ?1");
            state.Bind(1, static_cast<std::int64_t>(std::stoll(id)));
            ASSERT_TRUE(state.Step());
            EXPECT_EQ(state.Text(0), "CLEARED") << "sale " << id;
        }
    }

    // Closing time: no customer comes unasked any more (the mode-'0' pump would go on
    // dispensing for them), and those at the pumps finish.
    ::kill(emulator.Pid(), SIGUSR1);
    Crash finishing(config, true);
    bool done = false;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        const auto line = finishing.Line(50ms);
        ASSERT_FALSE(line && line->starts_with("error")) << *line;
        done = line && *line == "done";
    }
    ASSERT_TRUE(done) << "the last forecourt did not settle every fill";
    EXPECT_EQ(finishing.Wait(), 0);

    // Every fill the customers finished, exactly once, with the pump's figures.
    const std::vector<PumpFill> pump = CustomerFills(log);
    ASSERT_GE(pump.size(), static_cast<std::size_t>(kRounds * 2));
    Connection db(directory.Path() / "journal.db", Connection::Mode::ReadOnly);
    std::map<int, int> dispenserOf;
    for (const FuelPointConfig& point : config.fuelPoints)
        dispenserOf[point.id] = point.address;
    std::vector<PumpFill> sales;
    Statement& select = db.Prepare(
        "SELECT fuel_point, nozzle, volume, amount, total_after, state, amount_computed, price "
        "FROM fills WHERE state NOT IN ('CANCELLED') ORDER BY id");
    std::vector<bool> computed;
    while (select.Step()) {
        EXPECT_EQ(select.Text(5), "CLEARED");  // nothing open, nothing unpaid
        sales.push_back({dispenserOf[static_cast<int>(select.Integer(0))],
                         static_cast<int>(select.Integer(1)), select.Real(2), select.Real(3),
                         select.Real(4)});
        // A controller that keeps no money: the amount is the volume it shows at the price.
        computed.push_back(select.Integer(6) != 0);
        if (computed.back()) {
            EXPECT_NEAR(select.Real(3), std::round(select.Real(2) * select.Real(7) * 100) / 100,
                        1e-9);
        }
    }
    std::cout << pump.size() << " fills at the pumps, " << sales.size() << " sales, "
              << cleared.size() << " seen cleared before the last start\n";
    // A controller on its own (dispenser 7) keeps no figures of a fill but the volume on show
    // and its totaliser: a fill that ended while nobody watched, or just as the next began,
    // is placed by the totaliser, to within what flows during an exchange or two. Fills that
    // began and ended while the forecourt was down are beyond telling apart: they are one
    // sale with the one before, which holds every litre of them, not a fill more or less.
    constexpr double kOnItsOwn = 0.05;
    std::vector<int> covering(sales.size(), 0);
    std::vector<double> covered(sales.size(), 0);
    for (const PumpFill& fill : pump) {
        int found = 0;
        const bool onItsOwn = fill.dispenser == 7;
        for (std::size_t i = 0; i < sales.size(); ++i) {
            const PumpFill& sale = sales[i];
            if (sale.dispenser != fill.dispenser || sale.nozzle != fill.nozzle)
                continue;
            if (!onItsOwn) {
                if (std::fabs(sale.total - fill.total) < 0.0051) {
                    ++found;
                    EXPECT_NEAR(sale.volume, fill.volume, 0.0051);
                    if (!computed[i]) {
                        EXPECT_NEAR(sale.amount, fill.amount, 0.0051);
                    }
                }
            } else if (fill.total > sale.total - sale.volume + kOnItsOwn &&
                       fill.total < sale.total + kOnItsOwn) {
                ++found;
                ++covering[i];
                covered[i] += fill.volume;
            }
        }
        EXPECT_EQ(found, 1) << "the fill of " << fill.volume << " l at dispenser " << fill.dispenser
                            << " nozzle " << fill.nozzle << " ending at totaliser " << fill.total;
    }
    int merged = 0;
    for (std::size_t i = 0; i < sales.size(); ++i) {
        if (sales[i].dispenser != 7)
            continue;
        EXPECT_GE(covering[i], 1) << "a sale of " << sales[i].volume << " l no customer took";
        EXPECT_NEAR(sales[i].volume, covered[i], kOnItsOwn)
            << "the sale ending at totaliser " << sales[i].total;
        merged += std::max(0, covering[i] - 1);
    }
    const auto atOthers = [](const std::vector<PumpFill>& fills) {
        return std::count_if(fills.begin(), fills.end(),
                             [](const PumpFill& fill) { return fill.dispenser != 7; });
    };
    EXPECT_EQ(atOthers(sales), atOthers(pump));
    std::cout << merged << " fills on their own while the forecourt was down, in the sale before\n";
}

}  // namespace
}  // namespace fuel::forecourt
