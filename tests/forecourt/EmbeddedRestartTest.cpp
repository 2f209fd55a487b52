// The embedded emulator outlives the forecourt: a station whose line is `emulator:` with its
// customers runs in a child process, a money-preset fill is authorised, and the child is
// killed with SIGKILL while the fill runs. A new child on the same journal finds the fill
// where real controllers would have it, still running or ended at its preset while nobody
// watched, and makes exactly one sale of it at the preset amount; no nozzle's totaliser has
// gone back.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <thread>

#include "emulator/Memory.h"
#include "forecourt/Forecourt.h"
#include "testing/ForkedChild.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fuel::test::Say;

constexpr char kBus[] = R"(
[dispenser 1]
nozzles = 2
mode = 1
flow = 1
price = 45.67 48.17
total = 1000.00 2000.00
[dispenser 3]
nozzles = 2
mode = 1
layout = marked
flow = 1
price = 45.67 48.17
total = 3000.00 4000.00
)";

// Nobody comes unasked: the one customer is the one the fill was authorised for.
constexpr char kStation[] = R"(
[forecourt]
database = journal.db

[line pumps]
port = emulator:bus.conf
customers = yes
customer-every = 86400

[grade 95]
name = Super 95
price = 45.67
[grade 92]
name = Regular 92
price = 48.17

[fuel-point 1]
line = pumps
address = 1
nozzles = 95 92
[fuel-point 2]
line = pumps
address = 3
nozzles = 95 92
)";

constexpr double kPreset = 100.0;  // about 2.1 l: two seconds of flow

// The first child authorises fuel point 1 and runs until killed, saying when the fill
// flows; the next one only recovers, and ends once fuel point 1 has no fill left.
[[noreturn]] void Child(const Config& config, int out, bool authorise) {
    try {
        Forecourt forecourt(config);
        forecourt.Start();
        Subscription fuelling = forecourt.Subscribe(
            std::nullopt,
            [out](const Event& event) {
                if (event.type == event_type::kFuelPoint && event.data["state"] == "FUELLING")
                    Say(out, "fuelling " + std::to_string(event.data["id"].get<int>()));
            },
            false);
        if (authorise) {
            const Outcome authorised = Forecourt::Await([&](Done done) {
                forecourt.Authorise({1, Preset::Money(kPreset), {}, false}, {"till", "fill-1"},
                                    done);
            });
            Say(out, authorised.Ok() ? "authorised" : "error authorise refused");
        }
        for (;;) {
            const FuelPointView point = forecourt.GetSnapshot().fuelPoints.at(0);
            if (!authorise && !point.fill) {
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
class Forked : public fuel::test::ForkedChild {
  public:
    Forked(const Config& config, bool authorise)
        : ForkedChild([&](int out) { Child(config, out, authorise); }) {}
};

struct FillRow {
    std::string state;
    int nozzle = 0;
    double volume = 0;
    double amount = 0;
    double totalBefore = 0;
    double totalAfter = 0;
};

std::vector<FillRow> Fills(const fs::path& database) {
    Connection db(database, Connection::Mode::ReadOnly);
    Statement& select = db.Prepare(
        "SELECT state, nozzle, volume, amount, total_before, total_after FROM fills "
        "WHERE fuel_point = 1 ORDER BY id");
    std::vector<FillRow> rows;
    while (select.Step()) {
        rows.push_back({select.Text(0), static_cast<int>(select.Integer(1)), select.Real(2),
                        select.Real(3), select.Real(4), select.Real(5)});
    }
    return rows;
}

TEST(EmbeddedRestartTest, FillRunningAtTheKillBecomesOneSaleAtItsPreset) {
    const struct {
        const char* name;
        std::chrono::milliseconds down;  // from the kill to the next start
    } cases[] = {
        {"still running at the next start", 0ms},
        {"reached its preset while nobody ran the station", 4000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fuel::test::TemporaryDirectory directory;
        fuel::test::WriteBytes(directory.Path() / "bus.conf", kBus);
        const Config config = ParseConfig(kStation, directory.Path() / "station.ini");
        const fs::path memory = directory.Path() / "journal.db.pumps.controllers";
        std::string said;
        {
            Forked first(config, true);
            ASSERT_TRUE(first.Await("authorised", 30s, said)) << said;
            ASSERT_TRUE(first.Await("fuelling 1", 30s, said)) << said;
            std::this_thread::sleep_for(300ms);  // some fuel has flowed
            first.Kill();
        }
        ASSERT_TRUE(fs::exists(memory)) << "the controllers' memory is beside the journal";
        const emulator::Memory atKill = emulator::ParseMemory(fuel::test::ReadBytes(memory));
        std::this_thread::sleep_for(c.down);

        Forked next(config, false);
        ASSERT_TRUE(next.Await("done", 60s, said)) << said;
        EXPECT_EQ(next.Wait(), 0);

        const std::vector<FillRow> fills = Fills(directory.Path() / "journal.db");
        ASSERT_EQ(fills.size(), 1u);
        const FillRow& sale = fills[0];
        EXPECT_EQ(sale.state, "PAYABLE");
        EXPECT_DOUBLE_EQ(sale.amount, kPreset);
        const double price = sale.nozzle == 1 ? 45.67 : 48.17;
        EXPECT_NEAR(sale.volume, kPreset / price, 0.0051);
        const double configured = sale.nozzle == 1 ? 1000.0 : 2000.0;
        EXPECT_DOUBLE_EQ(sale.totalBefore, configured);
        EXPECT_NEAR(sale.totalAfter, configured + sale.volume, 0.0051);

        // Every nozzle's totaliser, from the journal's readings and the controllers' memory:
        // never below what it was at the kill, and grown by the sale where it was sold.
        Connection db(directory.Path() / "journal.db", Connection::Mode::ReadOnly);
        Statement& readings =
            db.Prepare("SELECT fuel_point, nozzle, volume FROM readings ORDER BY id");
        std::map<std::pair<int, int>, double> last;
        while (readings.Step()) {
            const std::pair<int, int> nozzle{static_cast<int>(readings.Integer(0)),
                                             static_cast<int>(readings.Integer(1))};
            const double volume = readings.Real(2);
            if (const auto before = last.find(nozzle); before != last.end()) {
                EXPECT_GE(volume, before->second)
                    << "fuel point " << nozzle.first << " nozzle " << nozzle.second << " went back";
            }
            last[nozzle] = volume;
        }
        const emulator::Memory after = emulator::ParseMemory(fuel::test::ReadBytes(memory));
        ASSERT_EQ(after.controllers.size(), atKill.controllers.size());
        for (std::size_t d = 0; d < after.controllers.size(); ++d) {
            for (std::size_t n = 0; n < after.controllers[d].nozzles.size(); ++n) {
                const emulator::NozzleMemory& now = after.controllers[d].nozzles[n];
                const emulator::NozzleMemory& then = atKill.controllers[d].nozzles[n];
                EXPECT_GE(now.totalBefore + now.volume, then.totalBefore + then.volume);
            }
        }
        const emulator::NozzleMemory& sold =
            after.controllers[0].nozzles[static_cast<std::size_t>(sale.nozzle - 1)];
        EXPECT_NEAR(sold.totalBefore + sold.volume, sale.totalAfter, 0.0051);
    }
}

}  // namespace
}  // namespace fuel::forecourt
