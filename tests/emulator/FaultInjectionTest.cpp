// Every fault of the line, on every kind of exchange, in both reply layouts: the driver ends
// in ESerialIO or with the channel's link state 3, never accepts a wrong number, and the next
// clean exchange recovers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"

namespace fuel {
namespace {

using emulator::Fault;
using emulator::ReplyLayout;
using namespace std::chrono_literals;

struct Operation {
    const char* name;
    char letter;  // the command whose reply the fault meets
    // What the host got from the operation, and what the controller actually holds.
    std::function<double(TVM30&)> run;
    std::function<double(const emulator::Emulator&)> truth;
    double tolerance;
};

const std::vector<Operation>& Operations() {
    static const std::vector<Operation> operations = {
        {"Status", 'D',
         [](TVM30& d) {
             StatusRecord r;
             d.PollDispenserStatus(1, 1, 2, r);
             return d.Tables().NozzleVolume[1][1][1];
         },
         [](const emulator::Emulator& e) { return e.Nozzle(1, 1).volume; }, 0.005},
        {"DispensedData", 'U',
         [](TVM30& d) {
             double amount = -1;
             d.GetDispensedData(1, 1, amount);
             return amount;
         },
         [](const emulator::Emulator& e) { return e.Nozzle(1, 1).amount; }, 0.005},
        {"Totaliser", 'S',
         [](TVM30& d) {
             double volume = -1, money = -1;
             d.GetTotalizer(1, 1, 1, volume, money, 0, 0);
             return volume;
         },
         [](const emulator::Emulator& e) { return e.Nozzle(1, 1).total; }, 0.005},
        {"Cell", 'X', [](TVM30& d) { return static_cast<double>(d.ReadParameter(1, 1, 148)); },
         [](const emulator::Emulator& e) { return static_cast<double>(e.RamCell(1, 148)); }, 0},
        {"Start", 'u', [](TVM30& d) { return static_cast<double>(d.StartPump(1, 1, 2)); },
         [](const emulator::Emulator&) { return 0.0; }, 0},
    };
    return operations;
}

bool Fits(Fault fault, char letter) {
    if (letter == 'u') {
        return fault == Fault::WrongFirstByte || fault == Fault::Silence ||
               fault == Fault::LateReply;
    }
    return fault != Fault::NonDigit || letter != 'X';
}

struct Case {
    ReplyLayout layout;
    Fault fault;
    std::size_t operation;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const ReplyLayout layout : {ReplyLayout::Plain, ReplyLayout::Marked}) {
        for (const Fault fault : emulator::kAllFaults) {
            for (std::size_t i = 0; i < Operations().size(); ++i) {
                const Case c{layout, fault, i};
                if (Fits(fault, Operations()[i].letter)) {
                    cases.push_back(c);
                }
            }
        }
    }
    return cases;
}

class FaultInjection : public ::testing::TestWithParam<Case> {
  protected:
    emulator::Emulator bus{Config()};
    EmulatorLink link{bus, 1, Options()};
    TVM30 driver{0, &link, ""};

    emulator::Config Config() const {
        emulator::Config c = emulator::ParseConfig("[dispenser 1]\nnozzles = 2\nmode = 1\n");
        c.dispensers[0].layout = GetParam().layout;
        return c;
    }
    static EmulatorLinkOptions Options() {
        EmulatorLinkOptions o;
        o.retry.attempts = 1;
        return o;
    }

    // A finished fill of 3.21 litres at 45.67 (146.60) on nozzle 1, polled clean once.
    void SetUp() override {
        StatusRecordEx record;
        driver.PollDispenserStatusEx(1, 1, 2, record);
        driver.SetPrice(1, 1, 1, 0, 0, 45.67);
        driver.SetVolumeLimit(1, 1, 1, 0, 3.21);
        driver.StartFill(1, 1, 1, 0);
        bus.Advance(20s);
        StatusRecord status;
        driver.PollDispenserStatus(1, 1, 2, status);
        ASSERT_EQ(driver.Tables().LinkState[1], 1);
        ASSERT_EQ(bus.Nozzle(1, 1).phase, emulator::NozzlePhase::Ended);
    }
};

TEST_P(FaultInjection, EndsInSerialErrorOrBadLinkAndRecovers) {
    const Case& c = GetParam();
    const Operation& op = Operations()[c.operation];
    const double truth = op.truth(bus);

    bus.InjectFault(c.fault);
    bool raised = false;
    double got = 0;
    try {
        got = op.run(driver);
    } catch (const ESerialIO&) {
        raised = true;
    }
    EXPECT_EQ(bus.PendingFaults(), 0) << "the fault never met its reply";
    EXPECT_TRUE(raised || driver.Tables().LinkState[1] == link_state::kBad)
        << "the fault went unnoticed; the host got " << got;
    if (!raised && driver.Tables().LinkState[1] == link_state::kGood) {
        EXPECT_NEAR(got, truth, op.tolerance) << "a wrong number was accepted";
    }

    // The next clean exchange recovers: a status poll, the first thing a host does next
    // (the dispensing data do not ask the controller while the link is bad).
    StatusRecord record;
    driver.PollDispenserStatus(1, 1, 2, record);
    EXPECT_EQ(driver.Tables().LinkState[1], link_state::kGood);
    got = op.run(driver);
    EXPECT_EQ(driver.Tables().LinkState[1], link_state::kGood);
    EXPECT_NEAR(got, truth, op.tolerance);
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.layout == ReplyLayout::Plain ? "Plain_" : "Marked_";
    std::string fault(emulator::FaultName(info.param.fault));
    std::erase(fault, '-');
    return name + Operations()[info.param.operation].name + "_" + fault;
}

INSTANTIATE_TEST_SUITE_P(EveryFaultEveryReply, FaultInjection, ::testing::ValuesIn(Cases()),
                         CaseName);

// Faults at a rate over a long run: whatever the driver accepts is right.
TEST(FaultsAtARate, NothingWrongIsEverAccepted) {
    emulator::Emulator bus{
        emulator::ParseConfig("[dispenser 1]\nnozzles = 2\nflow = 0.2\n"
                              "price = 45.67\n")};
    EmulatorLink link{bus};
    link.Options(1).retry.attempts = 1;
    TVM30 driver{0, &link, ""};
    bus.SetFaultSeed(42);
    for (const Fault f :
         {Fault::WrongFirstByte, Fault::OnlyAcknowledge, Fault::MissingEnd, Fault::WrongChecksum,
          Fault::Silence, Fault::LateReply, Fault::SplitBytes}) {
        bus.SetFaultRate(f, 0.03);
    }
    int failures = 0, accepted = 0;
    bool started = false;
    for (int i = 0; i < 300; ++i) {
        try {
            if (!started) {
                driver.StartPump(1, 1, 1);
                started = true;
            }
            StatusRecord record;
            driver.PollDispenserStatus(1, 1, 1, record);
            if (driver.Tables().LinkState[1] != link_state::kGood) {
                ++failures;
                continue;
            }
            ++accepted;
            // The fill flows on while the reply is on the line: 0.2 l/s for some 50 ms.
            EXPECT_NEAR(driver.Tables().NozzleVolume[1][1][1], bus.Nozzle(1, 1).volume, 0.02);
        } catch (const ESerialIO&) {
            ++failures;
        }
        bus.Advance(100ms);
    }
    EXPECT_GT(failures, 20);
    EXPECT_GT(accepted, 150);
    EXPECT_EQ(link.Counters().failed, static_cast<std::uint64_t>(failures));
}

}  // namespace
}  // namespace fuel
