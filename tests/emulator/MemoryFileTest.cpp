// A bus that outlives its process: each "life" below is a new bus on a fresh virtual clock
// over the same memory file, started at a wall time the test chooses, as a process started
// again after a kill. What the first life's controllers held, the next one holds; what
// happened while neither ran has happened; a file that cannot be believed is refused.
#include "emulator/MemoryFile.h"

#include <gtest/gtest.h>

#include <optional>

#include "testing/FileSizeLimit.h"
#include "testing/TestFiles.h"
#include "tests/emulator/BusTestSupport.h"

namespace fuel::emulator {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Lifted;
using test::Nibbles;
using test::Request;
using test::StepUntil;

constexpr char kBus[] = R"(
[dispenser 1]
nozzles = 2
mode = 1
flow = 1
price = 40.00 50.00
total = 1000.00 2000.00
[dispenser 3]
mode = 0x42
decimals = 3 2
layout = marked
flow = 0.5
price = 45.67
total = 5000
)";

const WallTime kFirstStart{1'800'000'000s};

CustomerSettings People() {
    CustomerSettings settings;
    settings.arrivalMean = 24h;  // nobody comes unasked
    settings.litresMin = 4;
    settings.litresMax = 6;
    return settings;
}

// One run of the bus over the file, with customers when asked: created, it has read the
// file; destroyed, it has died as a killed process does, leaving the file as last written.
struct Life {
    Life(const fs::path& file, WallTime start, bool withCustomers = false,
         std::string_view config = kBus)
        : bus(Configure(config, withCustomers)),
          customers(withCustomers ? std::make_optional<Customers>(bus, People()) : std::nullopt),
          memory(file, bus, customers ? &*customers : nullptr, [start] { return start; }),
          started(start) {}

    static Config Configure(std::string_view text, bool withCustomers) {
        Config config = ParseConfig(text);
        config.autoLift = !withCustomers;
        return config;
    }
    // The wall time of the bus's present: where the next life starts after `down`.
    WallTime After(Duration down) const { return started + bus.Now() + down; }
    void Send(std::uint8_t address, char letter, std::string_view parameters = {}) {
        ASSERT_FALSE(bus.Handle(Request(address, letter, parameters)).Silent());
    }

    Emulator bus;
    std::optional<Customers> customers;
    MemoryFile memory;
    WallTime started;
};

void ExpectSameNozzle(const NozzleView& got, const NozzleView& want) {
    EXPECT_EQ(got.phase, want.phase);
    EXPECT_EQ(got.lifted, want.lifted);
    EXPECT_DOUBLE_EQ(got.volume, want.volume);
    EXPECT_DOUBLE_EQ(got.amount, want.amount);
    EXPECT_DOUBLE_EQ(got.total, want.total);
    EXPECT_DOUBLE_EQ(got.price, want.price);
    EXPECT_DOUBLE_EQ(got.volumeDose, want.volumeDose);
    EXPECT_DOUBLE_EQ(got.moneyDose, want.moneyDose);
}

void ExpectSameBus(const Emulator& got, const Emulator& want) {
    for (const DispenserConfig& d : want.Configuration().dispensers) {
        for (std::uint8_t nozzle = 1; nozzle <= d.nozzles; ++nozzle) {
            SCOPED_TRACE("dispenser " + std::to_string(d.number) + " nozzle " +
                         std::to_string(nozzle));
            ExpectSameNozzle(got.Nozzle(d.number, nozzle), want.Nozzle(d.number, nozzle));
        }
        for (int cell = 0; cell < 256; ++cell) {
            const auto c = static_cast<std::uint8_t>(cell);
            EXPECT_EQ(got.RamCell(d.number, c), want.RamCell(d.number, c)) << "RAM " << cell;
            EXPECT_EQ(got.RomCell(d.number, c), want.RomCell(d.number, c)) << "ROM " << cell;
        }
    }
}

const std::uint8_t kNozzle11 = NozzleAddress(false, 1, 1);
const std::uint8_t kNozzle12 = NozzleAddress(false, 1, 2);
const std::uint8_t kNozzle31 = NozzleAddress(false, 3, 1);

TEST(MemoryFileTest, NextLifeHoldsTotalsPricesDosesCellsAndTheRunningFill) {
    fuel::test::TemporaryDirectory directory;
    const fs::path file = directory.Path() / "bus.memory";
    Life first(file, kFirstStart);
    first.Send(kNozzle12, 'c', "5230");
    first.Send(kNozzle12, 'd', "00300");  // pending for the next fill
    first.Send(1, 'x', Nibbles(0x20) + Nibbles(0x5A));
    first.Send(1, 'y', Nibbles(0x10) + Nibbles(0xA5));
    first.Send(kNozzle31, 'd', "01500");  // three volume decimals: 1.500 l
    first.Send(kNozzle31, 'u');
    first.bus.Advance(10s);
    first.Send(kNozzle31, 'D');
    first.Send(kNozzle11, 'e', "002000");
    first.Send(kNozzle11, 'u');
    first.bus.Advance(200ms);
    ASSERT_EQ(first.bus.Nozzle(3, 1).phase, NozzlePhase::Ended);
    ASSERT_EQ(first.bus.Nozzle(1, 1).phase, NozzlePhase::Running);

    Life second(file, first.After(0s));
    ExpectSameBus(second.bus, first.bus);
    // The fill runs on in both to its dose: 20.00 at 40.00, half a litre.
    first.bus.Advance(1s);
    second.bus.Advance(1s);
    ExpectSameBus(second.bus, first.bus);
    EXPECT_EQ(second.bus.Nozzle(1, 1).phase, NozzlePhase::Ended);
    EXPECT_DOUBLE_EQ(second.bus.Nozzle(1, 1).amount, 20.0);
    EXPECT_DOUBLE_EQ(second.bus.Nozzle(1, 1).total, 1000.5);
}

// A money dose of 20.00 at 40.00 (half a litre at 1 l/s), started and run for 0.2 s, when
// the last change is saved (another nozzle lifted); then the process dies and the next one
// starts `down` later in wall-clock time.
TEST(MemoryFileTest, FillFlowsOnWhileNobodyRunsTheBus) {
    const struct {
        const char* name;
        Duration down;
        NozzlePhase phase;
        double volume;  // at the next start
    } cases[] = {
        {"ends at its dose while down", 60s, NozzlePhase::Ended, 0.5},
        {"ends at its dose after a day down", 24h, NozzlePhase::Ended, 0.5},
        {"still short of its dose", 100ms, NozzlePhase::Running, 0.3},
        // Nobody knows how long the bus was down: no shorter than until its last save.
        {"wall clock set back meanwhile", -30s, NozzlePhase::Running, 0.2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fuel::test::TemporaryDirectory directory;
        const fs::path file = directory.Path() / "bus.memory";
        WallTime next;
        {
            Life first(file, kFirstStart);
            first.Send(kNozzle11, 'e', "002000");
            first.Send(kNozzle11, 'u');
            first.bus.Advance(200ms);
            first.bus.LiftNozzle(1, 2);
            next = first.After(c.down);
        }
        Life second(file, next);
        const NozzleView now = second.bus.Nozzle(1, 1);
        EXPECT_EQ(now.phase, c.phase);
        EXPECT_NEAR(now.volume, c.volume, 1e-9);
        EXPECT_NEAR(now.total, 1000 + c.volume, 1e-9);
        // And on to the dose, to the last coin.
        second.bus.Advance(1s);
        const NozzleView ended = second.bus.Nozzle(1, 1);
        EXPECT_EQ(ended.phase, NozzlePhase::Ended);
        EXPECT_DOUBLE_EQ(ended.volume, 0.5);
        EXPECT_DOUBLE_EQ(ended.amount, 20.0);
        EXPECT_DOUBLE_EQ(ended.total, 1000.5);
    }
}

// The customer at dispenser 1 as the first life leaves them; the second starts `down` later
// and its customers act once.
TEST(MemoryFileTest, CustomersCarryOnWhereTheyWere) {
    enum class Then { Walking, Waiting, Undosed, MoneyDose };
    const struct {
        const char* name;
        Then then;
        Duration down;
        bool liftedAfter;   // after the second life's first step
        bool fillReported;  // the customer hung up on a fill and said so
    } cases[] = {
        {"walking up: lifts at once", Then::Walking, 10s, true, false},
        {"waiting past their patience: gone", Then::Waiting, 60s, false, false},
        {"waiting within it: still there", Then::Waiting, 5s, true, false},
        {"no dose, past their litres: hung up at them", Then::Undosed, 1h, false, true},
        {"no dose, short of their litres: fuelling", Then::Undosed, 500ms, true, false},
        {"money dose reached while down: hung up", Then::MoneyDose, 1h, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fuel::test::TemporaryDirectory directory;
        const fs::path file = directory.Path() / "bus.memory";
        WallTime next;
        std::uint8_t nozzle = 0;
        double litres = 0;
        {
            Life first(file, kFirstStart, true);
            Customers& people = *first.customers;
            people.Released(1);
            if (c.then != Then::Walking) {
                ASSERT_TRUE(StepUntil(first.bus, people, [&] { return Lifted(first.bus) != 0; }));
                nozzle = Lifted(first.bus);
                litres = people.Remember(kFirstStart).at(0).litres;
            }
            const std::uint8_t address = NozzleAddress(false, 1, nozzle);
            if (c.then == Then::MoneyDose)
                first.Send(address, 'e', "020000");
            if (c.then == Then::Undosed || c.then == Then::MoneyDose) {
                first.Send(address, 'u');
                first.bus.Advance(1s);
                people.Step();
            }
            next = first.After(c.down);
        }
        Life second(file, next, true);
        std::optional<NozzleView> reported;
        second.customers->onFillEnded = [&](std::uint8_t, std::uint8_t, const NozzleView& fill) {
            reported = fill;
        };
        second.customers->Step();
        EXPECT_EQ(Lifted(second.bus) != 0, c.liftedAfter);
        ASSERT_EQ(reported.has_value(), c.fillReported);
        if (c.then == Then::Undosed && c.fillReported) {
            EXPECT_DOUBLE_EQ(reported->volume, litres);
            EXPECT_DOUBLE_EQ(reported->total, (nozzle == 1 ? 1000 : 2000) + litres);
        }
        if (c.then == Then::MoneyDose) {
            EXPECT_DOUBLE_EQ(reported->amount, 200.0);
        }
        if (c.then == Then::Undosed && !c.fillReported) {
            EXPECT_EQ(second.bus.Nozzle(1, nozzle).phase, NozzlePhase::Running);
            ASSERT_TRUE(
                StepUntil(second.bus, *second.customers, [&] { return reported.has_value(); }));
            EXPECT_GE(reported->volume, litres);
            EXPECT_LE(reported->volume, litres + 0.11);  // noticed within a step of 100 ms
        }
    }
}

// What reaches the file: every change a restart must see, and nothing a poll or the flow of
// time does. The rows run in order on one bus.
TEST(MemoryFileTest, WritesOnChangesNotOnPolls) {
    fuel::test::TemporaryDirectory directory;
    Life life(directory.Path() / "bus.memory", kFirstStart);
    const struct {
        const char* name;
        std::function<void()> act;
        bool writes;
    } steps[] = {
        {"status poll", [&] { life.Send(kNozzle11, 'D'); }, false},
        {"price as it is", [&] { life.Send(kNozzle11, 'c', "4000"); }, false},
        {"new price", [&] { life.Send(kNozzle11, 'c', "4100"); }, true},
        {"cell read", [&] { life.Send(1, 'X', Nibbles(0x20)); }, false},
        {"cell written", [&] { life.Send(1, 'x', Nibbles(0x20) + Nibbles(0x11)); }, true},
        {"ROM cell written", [&] { life.Send(1, 'y', Nibbles(0x30) + Nibbles(0x22)); }, true},
        {"money dose", [&] { life.Send(kNozzle11, 'e', "002000"); }, true},
        {"start", [&] { life.Send(kNozzle11, 'u'); }, true},
        {"flowing, polled",
         [&] {
             life.bus.Advance(100ms);
             life.Send(kNozzle11, 'D');
             life.Send(kNozzle11, 'U');
             life.Send(kNozzle11, 'S');
         },
         false},
        {"start again while running", [&] { life.Send(kNozzle11, 'u'); }, false},
        {"dose reached, polled",
         [&] {
             life.bus.Advance(60s);
             life.Send(kNozzle11, 'D');
         },
         false},
        {"nozzle lifted", [&] { life.bus.LiftNozzle(1, 2); }, true},
        {"nozzle hung up", [&] { life.bus.HangUpNozzle(1, 2); }, true},
        {"stop on an idle nozzle", [&] { life.Send(kNozzle12, 's'); }, false},
    };
    for (const auto& step : steps) {
        const std::uint64_t before = life.memory.Writes();
        step.act();
        EXPECT_EQ(life.memory.Writes() - before, step.writes ? 1u : 0u) << step.name;
    }
}

TEST(MemoryFileTest, FileThatCannotBeBelievedIsRefusedNamingItAndLeftAlone) {
    constexpr char kOtherBus[] = "[dispenser 9]\nnozzles = 2\n";
    constexpr char kFewerNozzles[] = "[dispenser 1]\nnozzles = 1\n[dispenser 3]\n";
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        const char* why;
    } cases[] = {
        {"damaged",
         [](const fs::path& file) {
             { Life(file, kFirstStart); }
             std::string text = fuel::test::ReadBytes(file);
             text[text.find("total-before=1000") + 13] = '2';
             fuel::test::WriteBytes(file, text);
         },
         "checksum"},
        {"cut short",
         [](const fs::path& file) {
             { Life(file, kFirstStart); }
             const std::string text = fuel::test::ReadBytes(file);
             fuel::test::WriteBytes(file, text.substr(0, text.size() / 3));
         },
         "ends early"},
        {"empty", [](const fs::path& file) { fuel::test::WriteBytes(file, ""); }, "ends early"},
        {"another bus's", [&](const fs::path& file) { Life(file, kFirstStart, false, kOtherBus); },
         "dispenser 9 is not on the bus"},
        {"of other nozzles",
         [&](const fs::path& file) { Life(file, kFirstStart, false, kFewerNozzles); },
         "dispenser 1 has 2 nozzles on the bus and 1 in the memory"},
        {"a directory", [](const fs::path& file) { fs::create_directory(file); }, "cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fuel::test::TemporaryDirectory directory;
        const fs::path file = directory.Path() / "bus.memory";
        c.make(file);
        const std::string before = fs::is_regular_file(file) ? fuel::test::ReadBytes(file) : "";
        try {
            Life life(file, kFirstStart);
            ADD_FAILURE() << "opened";
        } catch (const MemoryError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(file.string()), std::string::npos) << message;
            EXPECT_NE(message.find(c.why), std::string::npos) << message;
            EXPECT_NE(message.find("delete the file"), std::string::npos) << message;
        }
        if (fs::is_regular_file(file)) {
            EXPECT_EQ(fuel::test::ReadBytes(file), before) << "a refused memory is kept for a look";
        }
    }
}

// A disk that fills up in the middle of a write (the file size limit of the process, a real
// failure): the old memory stays whole, the failure is told once, and the next try writes.
TEST(MemoryFileTest, FailedWriteLeavesTheOldMemoryWholeAndIsTriedAgain) {
    fuel::test::TemporaryDirectory directory;
    const fs::path file = directory.Path() / "bus.memory";
    Life life(file, kFirstStart);
    std::vector<std::string> problems;
    life.memory.onProblem = [&](const std::string& message) { problems.push_back(message); };
    const std::string old = fuel::test::ReadBytes(file);
    {
        const fuel::test::FileSizeLimit full(old.size() / 2);
        life.Send(kNozzle11, 'c', "4100");
        life.Send(kNozzle11, 'c', "4200");
        life.memory.SaveIfDue();
    }
    EXPECT_EQ(fuel::test::ReadBytes(file), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.Path()), fs::directory_iterator()), 1)
        << "no temporary file is left beside it";
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find(file.string()), std::string::npos) << problems[0];

    life.memory.SaveIfDue();
    EXPECT_EQ(problems.size(), 2u) << "and that it is saved again";
    Life next(file, life.After(0s));
    EXPECT_DOUBLE_EQ(next.bus.Nozzle(1, 1).price, 42.0);
}

}  // namespace
}  // namespace fuel::emulator
