// The fill's rules without a line, a journal, a thread or a clock: each case starts the
// machine from a fill the journal holds (or none), feeds it polls and the controller's
// answers, and checks what it asks to write and to send at every step, and where it ends.
// The cases after a crash are those the crash and restart tests drive through the emulator.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "driver/DriverTables.h"
#include "forecourt/FillMachine.h"

namespace fuel::forecourt {
namespace {

using Kind = FillEntry::Kind;
using Command = PumpCommand::Kind;

const Time kNow = Time{} + std::chrono::hours(1000);
constexpr double kPrice1 = 45.67;
constexpr double kPrice2 = 48.17;

// A poll of a two-nozzle point (grades 95 and 92): each nozzle idle, calling or running with
// a volume.
struct Nozzle {
    enum { Idle, Calling, Running } status = Idle;
    double volume = 0;
};
PollReading Poll(Nozzle one, Nozzle two = {}, bool autonomous = false) {
    PollReading poll;
    const Nozzle nozzles[] = {one, two};
    for (int n = 1; n <= 2; ++n) {
        const Nozzle& nozzle = nozzles[n - 1];
        const auto i = static_cast<std::size_t>(n);
        const int code = nozzle.status == Nozzle::Running   ? status_code::kFillRunning + n
                         : nozzle.status == Nozzle::Calling ? status_code::kWaiting + n
                                                            : 0;
        poll.codes[i] = static_cast<std::uint8_t>(code);
        poll.volumes[i] = nozzle.volume;
    }
    poll.prices[1] = kPrice1;
    poll.prices[2] = kPrice2;
    poll.autonomous = autonomous;
    return poll;
}
const Nozzle kIdle{};
const Nozzle kCalling{Nozzle::Calling, 0};
Nozzle RunningAt(double volume) {
    return {Nozzle::Running, volume};
}

OpenFill Authorised(std::vector<std::string> grades = {}) {
    OpenFill fill;
    fill.id = 7;
    fill.fuelPoint = 1;
    fill.preset = Preset::Volume(10);
    fill.grades = std::move(grades);
    fill.authorisedBy = "till";
    fill.authorisedAt = kNow;
    return fill;
}
// As the journal holds a fill marked started (before or after its start went out) when the
// process died.
OpenFill Started(int nozzle, double totalBefore) {
    OpenFill fill = Authorised();
    fill.state = FillState::Fuelling;
    fill.nozzle = nozzle;
    fill.grade = nozzle == 1 ? "95" : "92";
    fill.price = nozzle == 1 ? kPrice1 : kPrice2;
    fill.totalBefore = totalBefore;
    fill.startedAt = kNow;
    return fill;
}

// One input and what the machine must answer to it.
struct Step {
    enum class Input { Poll, Answer, Reconsider, Withdraw } input = Input::Poll;
    PollReading poll;
    PumpAnswer answer;
    // Expected: the entry (kind, and the figures that matter) and the command.
    std::optional<Kind> entry;
    std::optional<Command> command;
    int nozzle = 0;             // of the command, or of a Started/Ended entry
    double figure = 0;          // Started/Ended: the total; a command: none
    std::string reason;         // Cancelled
    bool journalFails = false;  // the entry is not committed
};
Step Polled(PollReading poll, std::optional<Command> command = std::nullopt, int nozzle = 0) {
    Step step;
    step.poll = poll;
    step.command = command;
    step.nozzle = nozzle;
    return step;
}
Step Answer(PumpAnswer answer, std::optional<Kind> entry = std::nullopt,
            std::optional<Command> command = std::nullopt, int nozzle = 0, double figure = 0,
            std::string reason = {}) {
    Step step;
    step.input = Step::Input::Answer;
    step.answer = answer;
    step.entry = entry;
    step.command = command;
    step.nozzle = nozzle;
    step.figure = figure;
    step.reason = std::move(reason);
    return step;
}
Step Failing(Step step) {
    step.journalFails = true;
    return step;
}

enum class End { NoFill, Authorised, Fuelling, AtThePump };

struct Case {
    const char* name;
    std::optional<OpenFill> start;
    std::vector<Step> steps;
    End end;
    double volume = 0;  // ours, or at the pump's, at the end
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const Case kCases[] = {
    {"LiftedNozzleStartsAfterTheStartIsWritten",
     Authorised(),
     {Polled(Poll(kCalling), Command::PrepareStart, 1),
      Answer(PumpAnswer::Total(1000, kPrice1), Kind::Started, Command::Start, 1, 1000),
      Answer(PumpAnswer::Done())},
     End::Fuelling},
    {"OnlyANozzleOfAnAllowedGradeStarts",
     Authorised({"92"}),
     {Polled(Poll(kCalling)), Polled(Poll(kCalling, kCalling), Command::PrepareStart, 2),
      Answer(PumpAnswer::Total(2000, kPrice2), Kind::Started, Command::Start, 2, 2000),
      Answer(PumpAnswer::Done())},
     End::Fuelling},
    {"StartThatDidNotGoOutIsAuthorisedAgain",
     Authorised(),
     {Polled(Poll(kCalling), Command::PrepareStart, 1),
      Answer(PumpAnswer::Total(1000, kPrice1), Kind::Started, Command::Start, 1, 1000),
      Answer(PumpAnswer::Failed(), Kind::Unstarted)},
     End::Authorised},
    {"TotaliserThatDoesNotAnswerStartsNothing",
     Authorised(),
     {Polled(Poll(kCalling), Command::PrepareStart, 1), Answer(PumpAnswer::Failed())},
     End::Authorised},
    {"StartNotWrittenIsNotSentAndIsAskedAgain",
     Authorised(),
     {Polled(Poll(kCalling), Command::PrepareStart, 1),
      Failing(Answer(PumpAnswer::Total(1000, kPrice1), Kind::Started, Command::Start, 1, 1000)),
      Polled(Poll(kCalling), Command::PrepareStart, 1)},
     End::Authorised},
    {"RunningFillIsFollowed",
     Started(1, 1000),
     {Polled(Poll(RunningAt(1.5))), Polled(Poll(RunningAt(2.5)))},
     End::Fuelling,
     2.5},
    {"EndedFillBecomesASaleWithTheControllersFigures",
     Started(1, 1000),
     {Polled(Poll(RunningAt(2.5))), Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1002.5, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(2.5, 114.18), Kind::Ended, std::nullopt, 1, 1002.5)},
     End::NoFill},
    {"GarbledFinalFiguresAreReadAgainAtTheNextPoll",
     Started(1, 1000),
     {Polled(Poll(RunningAt(2.5))), Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1002.5, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Failed()), Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1002.5, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(2.5, 114.18), Kind::Ended, std::nullopt, 1, 1002.5)},
     End::NoFill},
    {"SaleNotWrittenStaysAFillUntilItIs",
     Started(1, 1000),
     {Polled(Poll(RunningAt(2.5))), Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1002.5, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Failing(Answer(PumpAnswer::Final(2.5, 114.18), Kind::Ended, std::nullopt, 1, 1002.5)),
      Polled(Poll(kIdle), Command::ReadTotal, 1)},
     End::Fuelling,
     2.5},
    {"NozzleHungUpDryCancelsTheFill",
     Started(1, 1000),
     {Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1000, kPrice1), Kind::Cancelled, std::nullopt, 0, 0,
             "no fuel taken")},
     End::NoFill},
    {"SeenRunningButNothingMeasuredIsNoSale",
     Started(1, 1000),
     {Polled(Poll(RunningAt(0))), Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1000, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(0, 0), Kind::Cancelled, std::nullopt, 0, 0, "no fuel taken")},
     End::NoFill},
    {"StartLostWhileTheNozzleStillCallsIsAuthorisedAgain",
     Started(1, 1000),
     {Polled(Poll(kCalling)), Polled(Poll(kCalling)), Polled(Poll(kCalling), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1000, kPrice1), Kind::Unstarted)},
     End::Authorised},
    // After a crash: the journal says started, the controller says what happened meanwhile.
    {"FillThatEndedWhileDownBecomesASaleOnce",
     Started(1, 1000),
     {Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1003, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(3, 137.01), Kind::Ended, std::nullopt, 1, 1003),
      Polled(Poll(kIdle))},
     End::NoFill},
    {"FillThatEndedWhileDownAndTheNextCustomerCallsIsStillASale",
     Started(1, 1000),
     {Polled(Poll(kCalling)), Polled(Poll(kCalling)), Polled(Poll(kCalling), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1003, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(3, 137.01), Kind::Ended, std::nullopt, 1, 1003)},
     End::NoFill},
    {"FillStillRunningAfterARestartIsFollowedToItsEnd",
     Started(2, 2000),
     {Polled(Poll(kIdle, RunningAt(1.2))), Polled(Poll(kIdle), Command::ReadTotal, 2),
      Answer(PumpAnswer::Total(2001.2, kPrice2), std::nullopt, Command::ReadFinal, 2),
      Answer(PumpAnswer::Final(1.2, 57.8), Kind::Ended, std::nullopt, 2, 2001.2)},
     End::NoFill},
    {"AuthorisationSurvivesARestartAndStartsWhenLifted",
     Authorised(),
     {Polled(Poll(kIdle)), Polled(Poll(kIdle, kCalling), Command::PrepareStart, 2)},
     End::Authorised},
    {"NozzleRunningForOurAuthorisationIsAdopted",
     Authorised(),
     {Polled(Poll(kIdle, RunningAt(3)), Command::ReadTotal, 2),
      Answer(PumpAnswer::Total(2003, kPrice2), Kind::Started, std::nullopt, 2, 2000),
      Polled(Poll(kIdle, RunningAt(4)))},
     End::Fuelling,
     4},
    // Fills nobody authorised: in the journal from the moment they are seen, then sales.
    {"FillNobodyAuthorisedIsWrittenDownAndSettledIntoASale",
     std::nullopt,
     {Polled(Poll(RunningAt(1)), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1001, kPrice1), Kind::StartedAtThePump, std::nullopt, 1, 1000),
      Polled(Poll(RunningAt(2))), Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1002, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(2, 91.34), Kind::Ended, std::nullopt, 1, 1002)},
     End::NoFill},
    {"FillAtThePumpIsFollowedUntilTheJournalHasIt",
     std::nullopt,
     {Polled(Poll(RunningAt(1)), Command::ReadTotal, 1), Answer(PumpAnswer::Failed()),
      Polled(Poll(RunningAt(2)), Command::ReadTotal, 1),
      Failing(Answer(PumpAnswer::Total(1002, kPrice1), Kind::StartedAtThePump, std::nullopt, 1,
                     1000))},
     End::AtThePump,
     2},
    {"FillAtThePumpThatEndedBeforeItWasWrittenIsStillASale",
     std::nullopt,
     {Polled(Poll(RunningAt(1.5)), Command::ReadTotal, 1), Answer(PumpAnswer::Failed()),
      Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1001.5, kPrice1), Kind::StartedAtThePump, std::nullopt, 1, 1000),
      Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1001.5, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(1.5, 68.51), Kind::Ended, std::nullopt, 1, 1001.5)},
     End::NoFill},
    {"PumpFillAfterARestartIsSettledLikeAnyOther",
     [] {
         OpenFill fill = Started(1, 1000);
         fill.origin = Origin::Pump;
         return fill;
     }(),
     {Polled(Poll(kIdle), Command::ReadTotal, 1),
      Answer(PumpAnswer::Total(1002, kPrice1), std::nullopt, Command::ReadFinal, 1),
      Answer(PumpAnswer::Final(2, 91.34), Kind::Ended, std::nullopt, 1, 1002)},
     End::NoFill},
    // A controller that dispenses on its own: the rising volume is the fill.
    {"LastFillStillShowingOnAControllerOnItsOwnIsNoFill",
     std::nullopt,
     {Polled(Poll(kIdle, RunningAt(3.2), true)), Polled(Poll(kIdle, RunningAt(3.2), true))},
     End::NoFill},
    {"ControllerOnItsOwnDispensesWhereTheVolumeRises",
     std::nullopt,
     {Polled(Poll(kIdle, RunningAt(3.2), true)),
      Polled(Poll(kIdle, RunningAt(0.5), true)),  // fell: the next fill, not yet rising
      Polled(Poll(kIdle, RunningAt(0.9), true), Command::ReadTotalAndVolume, 2),
      Answer(PumpAnswer::Total(2000.9, kPrice2), Kind::StartedAtThePump, std::nullopt, 2, 2000),
      Polled(Poll(kIdle, RunningAt(1.4), true))},
     End::Fuelling,
     1.4},
    {"ControllerOnItsOwnEndsWhenTheVolumeStandsStill",
     std::nullopt,
     {Polled(Poll(kIdle, kIdle, true)),
      Polled(Poll(kIdle, RunningAt(0.9), true), Command::ReadTotalAndVolume, 2),
      Answer(PumpAnswer::Total(2000.9, kPrice2), Kind::StartedAtThePump, std::nullopt, 2, 2000),
      Polled(Poll(kIdle, RunningAt(0.9), true)), Polled(Poll(kIdle, RunningAt(0.9), true)),
      Polled(Poll(kIdle, RunningAt(0.9), true), Command::ReadTotal, 2),
      Answer(PumpAnswer::Total(2000.9, kPrice2), Kind::Ended, std::nullopt, 2, 2000.9)},
     End::NoFill},
    {"ControllerOnItsOwnEndsAFillWhenTheNextOneBegins",
     std::nullopt,
     {Polled(Poll(kIdle, kIdle, true)),
      Polled(Poll(kIdle, RunningAt(0.9), true), Command::ReadTotalAndVolume, 2),
      Answer(PumpAnswer::Total(2000.9, kPrice2), Kind::StartedAtThePump, std::nullopt, 2, 2000),
      Polled(Poll(kIdle, RunningAt(0.1), true), Command::ReadTotalAndVolume, 2),
      // The next fill showed 0.1 before the totaliser was read and 0.2 after: it held 0.15
      // of the next one when it read 2001.05, so the fill ended at 2000.9.
      Answer(PumpAnswer::TotalAndVolume(2001.05, kPrice2, 0.2), Kind::Ended, std::nullopt, 2,
             2000.9)},
     End::NoFill},
    {"ControllerOnItsOwnPlacesTheEndBetweenThePollsAroundTheTotaliser",
     std::nullopt,
     {Polled(Poll(kIdle, kIdle, true)),
      Polled(Poll(kIdle, RunningAt(0.9), true), Command::ReadTotalAndVolume, 2),
      Answer(PumpAnswer::Total(2000.9, kPrice2), Kind::StartedAtThePump, std::nullopt, 2, 2000),
      Polled(Poll(kIdle, RunningAt(0.1), true), Command::ReadTotalAndVolume, 2),
      // The cycle saw 0.1, but by the read the next fill showed 0.5, and 0.6 after it: the
      // totaliser of 2001.45 held 0.55 of it, not the 0.35 the cycle's poll would imply.
      Answer(PumpAnswer::TotalAndVolume(2001.45, kPrice2, 0.6, 0.5), Kind::Ended, std::nullopt,
             2, 2000.9)},
     End::NoFill},
    // Taken over from the journal after a restart: the totaliser says whether the volume on
    // show is still the fill's own.
    {"FillOnItsOwnThatEndedWhileDownIsEndedWhereTheNextBegan",
     [] {
         OpenFill fill = Started(2, 2000);
         fill.origin = Origin::Pump;
         return fill;
     }(),
     {Polled(Poll(kIdle, RunningAt(0.4), true), Command::ReadTotalAndVolume, 2),
      Answer(PumpAnswer::Total(2003.4, kPrice2), Kind::Ended, std::nullopt, 2, 2003.0),
      // The 0.4 on show is a fill nobody saw, over or not: written down at the pump.
      Polled(Poll(kIdle, RunningAt(0.4), true), Command::ReadTotal, 2),
      Answer(PumpAnswer::Total(2003.4, kPrice2), Kind::StartedAtThePump, std::nullopt, 2,
             2003.0),
      Polled(Poll(kIdle, RunningAt(0.4), true)), Polled(Poll(kIdle, RunningAt(0.4), true)),
      Polled(Poll(kIdle, RunningAt(0.4), true), Command::ReadTotal, 2),
      Answer(PumpAnswer::Total(2003.4, kPrice2), Kind::Ended, std::nullopt, 2, 2003.4)},
     End::NoFill},
    {"FillOnItsOwnStillOnShowAfterARestartGoesOn",
     [] {
         OpenFill fill = Started(2, 2000);
         fill.origin = Origin::Pump;
         return fill;
     }(),
     {Polled(Poll(kIdle, RunningAt(3.4), true), Command::ReadTotalAndVolume, 2),
      Answer(PumpAnswer::Total(2003.45, kPrice2)), Polled(Poll(kIdle, RunningAt(3.9), true))},
     End::Fuelling,
     3.9},
};

class FillMachineTest : public ::testing::TestWithParam<Case> {};

// The id the journal gives a fill written down at the pump.
constexpr SaleId kPumpFill = 8;

void Check(const FillStep& step, const Step& expected, SaleId fill, std::size_t at) {
    SCOPED_TRACE("step " + std::to_string(at));
    ASSERT_EQ(step.entry.has_value(), expected.entry.has_value());
    if (step.entry) {
        EXPECT_EQ(step.entry->kind, *expected.entry);
        EXPECT_EQ(step.entry->id, fill);
        if (*expected.entry != Kind::Unstarted && *expected.entry != Kind::Cancelled) {
            EXPECT_EQ(step.entry->nozzle, expected.nozzle);
            EXPECT_DOUBLE_EQ(step.entry->total, expected.figure);
        }
        if (*expected.entry == Kind::Cancelled) {
            EXPECT_EQ(step.entry->reason, expected.reason);
        }
    }
    ASSERT_EQ(step.command.has_value(), expected.command.has_value());
    if (step.command) {
        EXPECT_EQ(step.command->kind, *expected.command);
        EXPECT_EQ(step.command->nozzle, expected.nozzle);
    }
}

TEST_P(FillMachineTest, Steps) {
    const Case& c = GetParam();
    FillMachine machine({"95", "92"});
    if (c.start)
        machine.Take(*c.start);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Step& step = c.steps[i];
        const FillStep got = step.input == Step::Input::Poll ? machine.Polled(step.poll, kNow)
                                                             : machine.Answered(step.answer, kNow);
        Check(got, step, machine.Fill() ? machine.Fill()->id : 0, i);
        if (got.entry && !step.journalFails) {
            FillEntry written = *got.entry;
            if (written.kind == Kind::StartedAtThePump)
                written.id = kPumpFill;
            machine.Apply(written);
        }
    }
    switch (c.end) {
        case End::NoFill:
            EXPECT_FALSE(machine.Fill());
            EXPECT_TRUE(machine.Quiet());
            break;
        case End::Authorised:
            ASSERT_TRUE(machine.Fill());
            EXPECT_EQ(machine.Fill()->state, FillState::Authorised);
            EXPECT_EQ(machine.Fill()->nozzle, 0);
            EXPECT_EQ(machine.RunningNozzle(), 0);
            break;
        case End::Fuelling:
            ASSERT_TRUE(machine.Fill());
            EXPECT_EQ(machine.Fill()->state, FillState::Fuelling);
            EXPECT_DOUBLE_EQ(machine.Volume(), c.volume);
            EXPECT_TRUE(machine.Busy(machine.Fill()->nozzle));
            break;
        case End::AtThePump:
            EXPECT_FALSE(machine.Fill());
            ASSERT_TRUE(machine.Unauthorised());
            EXPECT_DOUBLE_EQ(machine.Unauthorised()->volume, c.volume);
            ASSERT_TRUE(machine.View());
            EXPECT_FALSE(machine.View()->authorised);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Transitions, FillMachineTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What a started fill records: the price the nozzle runs at, and for an adopted one what it
// had already run, at that price.
TEST(FillMachineFiguresTest, StartedAndAdoptedFillsCarryTheNozzlesPriceAndVolume) {
    FillMachine started({"95", "92"});
    started.Take(Authorised());
    started.Polled(Poll(kCalling), kNow);
    const FillStep start = started.Answered(PumpAnswer::Total(1000, 46.00), kNow);
    ASSERT_TRUE(start.entry && start.command);
    EXPECT_EQ(start.entry->grade, "95");
    EXPECT_DOUBLE_EQ(start.entry->price, 46.00);
    EXPECT_FALSE(start.entry->running);
    EXPECT_DOUBLE_EQ(start.command->preset.value, 10);

    FillMachine adopted({"95", "92"});
    adopted.Take(Authorised());
    adopted.Polled(Poll(kIdle, RunningAt(3)), kNow);
    const FillStep adopt = adopted.Answered(PumpAnswer::Total(2003, kPrice2), kNow);
    ASSERT_TRUE(adopt.entry);
    EXPECT_TRUE(adopt.entry->running);
    EXPECT_DOUBLE_EQ(adopt.entry->volume, 3);
    EXPECT_DOUBLE_EQ(adopt.entry->amount, Money(3 * kPrice2));
    adopted.Apply(*adopt.entry);
    EXPECT_DOUBLE_EQ(adopted.Amount(), Money(3 * kPrice2));
}

// A fill at the pump carries no authorisation; a controller that gives no amount has it
// computed at the price the fill ran at, and says so.
TEST(FillMachineFiguresTest, PumpFillIsNotAuthorisedAndAMissingAmountIsComputed) {
    FillMachine machine({"95", "92"});
    machine.Polled(Poll(RunningAt(1)), kNow);
    const FillStep seen = machine.Answered(PumpAnswer::Total(1001, kPrice1), kNow);
    ASSERT_TRUE(seen.entry);
    FillEntry written = *seen.entry;
    written.id = kPumpFill;
    machine.Apply(written);
    ASSERT_TRUE(machine.View());
    EXPECT_FALSE(machine.View()->authorised);
    EXPECT_EQ(machine.View()->id, kPumpFill);
    EXPECT_EQ(machine.Fill()->origin, Origin::Pump);
    machine.Polled(Poll(kIdle), kNow);
    machine.Answered(PumpAnswer::Total(1002, kPrice1), kNow);
    const FillStep ended = machine.Answered(PumpAnswer::Final(2, 0), kNow);
    ASSERT_TRUE(ended.entry);
    EXPECT_TRUE(ended.entry->amountComputed);
    EXPECT_DOUBLE_EQ(ended.entry->amount, Money(2 * kPrice1));
}

// Withdrawing: only an authorisation that no nozzle runs for; the reason goes with it.
TEST(FillMachineWithdrawTest, OnlyAnAuthorisationIsWithdrawn) {
    FillMachine machine({"95", "92"});
    EXPECT_FALSE(machine.Withdraw("withdrawn", kNow));
    machine.Take(Authorised());
    const auto withdrawn = machine.Withdraw("closed", kNow);
    ASSERT_TRUE(withdrawn);
    EXPECT_EQ(withdrawn->kind, Kind::Cancelled);
    EXPECT_EQ(withdrawn->reason, "closed");
    EXPECT_TRUE(machine.Fill());  // not before the journal has it
    machine.Apply(*withdrawn);
    EXPECT_FALSE(machine.Fill());

    machine.Take(Started(1, 1000));
    EXPECT_FALSE(machine.Withdraw("withdrawn", kNow));
    EXPECT_EQ(machine.RunningNozzle(), 1);
}

// After an authorisation the last poll is read again, so that a nozzle already calling
// starts at once; a controller that dispenses on its own is never started.
TEST(FillMachineReconsiderTest, ACallingNozzleStartsWithoutWaitingForAPoll) {
    FillMachine machine({"95", "92"});
    machine.Polled(Poll(kIdle, kCalling), kNow);
    machine.Take(Authorised());
    const FillStep step = machine.Reconsider(kNow);
    ASSERT_TRUE(step.command);
    EXPECT_EQ(step.command->kind, Command::PrepareStart);
    EXPECT_EQ(step.command->nozzle, 2);

    FillMachine onItsOwn({"95", "92"});
    onItsOwn.Polled(Poll(kIdle, kCalling, true), kNow);
    onItsOwn.Take(Authorised());
    EXPECT_TRUE(onItsOwn.Reconsider(kNow).Empty());
}

}  // namespace
}  // namespace fuel::forecourt
