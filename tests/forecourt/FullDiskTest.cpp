// A full disk in the middle of the day: the journal's write-ahead log may not grow (a real
// write that fails, as on a full disk), with a fill running. Nothing new is promised, the
// running fill is followed in memory and its sale written once there is space again, with
// the controller's figures, once; nothing is told before it is on the disk; and an alarm says
// the journal failed, once.
#include <gtest/gtest.h>

#include <filesystem>

#include "testing/FileSizeLimit.h"
#include "tests/forecourt/StationFixture.h"

namespace fuel::forecourt::test {
namespace {

class FullDiskTest : public Station {};

TEST_F(FullDiskTest, RefusesNewFillsAndWritesTheRunningOneOnceSpaceIsBack) {
    StartForecourt();
    const Sale earlier = Fill(1, 1, 1, Preset::Volume(2), As("till"));
    ASSERT_TRUE(Authorise(2, Preset::Volume(999), As("till")).Ok());
    Lift(3, 1);
    ASSERT_TRUE(EventuallyState(2, FuelPointState::Fuelling));
    ASSERT_TRUE(Eventually([&] { return Nozzle(3, 1).volume > 0.5; }));
    const Sequence before = Court().GetJournal().LastSequence();

    const std::filesystem::path log = Directory() / "journal.db-wal";
    {
        const fuel::test::FileSizeLimit full(std::filesystem::file_size(log));
        // The authorisation's own commit finds the disk full; the next is refused at once.
        for (const char* attempt : {"meets the full disk", "is refused up front"}) {
            const Outcome refused = Authorise(1, Preset::Volume(5), As("till"));
            EXPECT_EQ(refused.status, Status::Unavailable) << attempt;
            EXPECT_EQ(refused.reason, reason::kJournalFailing)
                << attempt << ": " << refused.message;
        }
        ASSERT_TRUE(Court().JournalFailure().has_value());
        EXPECT_EQ(StateOf(1), FuelPointState::Idle) << "no release went to the pump";

        // The customer hangs up: the fill is over at the pump, but nothing can be written.
        HangUp(3, 1);
        ASSERT_TRUE(
            Eventually([&] { return Nozzle(3, 1).phase != emulator::NozzlePhase::Running; }));
        Cycles(5);
        EXPECT_TRUE(SalesOf(2).empty()) << "a sale was told before it was on the disk";
        EXPECT_EQ(StateOf(2), FuelPointState::Fuelling) << "the board shows only what is written";
        EXPECT_EQ(Court().GetJournal().LastSequence(), before);
    }

    // Space again: the sale, once, with the controller's figures, and the alarm, once.
    ASSERT_TRUE(EventuallySales(2, 1));
    ASSERT_TRUE(Eventually([&] { return !Court().JournalFailure(); }));
    ASSERT_TRUE(EventuallyState(2, FuelPointState::Idle));
    const emulator::NozzleView pump = Nozzle(3, 1);
    const std::vector<Sale> sales = SalesOf(2);
    ASSERT_EQ(sales.size(), 1u);
    // The controller's figures, in its hundredths.
    EXPECT_GT(sales[0].volume, 0.5);
    EXPECT_NEAR(sales[0].volume, pump.volume, 0.005);
    EXPECT_NEAR(sales[0].amount, pump.amount, 0.005);
    EXPECT_NEAR(sales[0].totalAfter, pump.total, 0.005);
    ASSERT_EQ(SalesOf(1).size(), 1u);
    EXPECT_EQ(SalesOf(1)[0].volume, earlier.volume);

    int failedAlarms = 0;
    int saleEvents = 0;
    Sequence expected = 0;
    for (const Event& event : Events()) {
        EXPECT_EQ(event.sequence, expected == 0 ? event.sequence : expected + 1)
            << "the events have a hole";
        expected = event.sequence;
        if (event.type == event_type::kAlarm && event.data["kind"] == alarm_kind::kJournalFailed)
            ++failedAlarms;
        if (event.type == event_type::kSale && event.data["fuelPoint"] == 2)
            ++saleEvents;
    }
    EXPECT_EQ(failedAlarms, 1);
    EXPECT_EQ(saleEvents, 1);

    // And the forecourt promises again.
    ASSERT_TRUE(Authorise(1, Preset::Volume(5), As("till")).Ok());
}

}  // namespace
}  // namespace fuel::forecourt::test
