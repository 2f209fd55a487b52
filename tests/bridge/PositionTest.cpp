// The broker's acknowledged position as the journal's retention reads it: no event after it
// goes, however old, and what was acknowledged goes once it is old enough; another
// station's position holds nothing of this one's.
#include <gtest/gtest.h>

#include "bridge/Position.h"
#include "forecourt/Retention.h"
#include "testing/TestFiles.h"

namespace fuel::bridge {
namespace {

using forecourt::Sequence;

TEST(PositionTest, RetentionKeepsEveryEventTheBrokerHasNotAcknowledged) {
    const fuel::test::TemporaryDirectory dir;
    forecourt::Journal journal(dir.Path() / "journal.db", Migrations());
    journal.Start();
    const forecourt::Time old = std::chrono::system_clock::now() - std::chrono::hours(24 * 200);
    for (int i = 0; i < 20; ++i) {
        journal.Write([&](forecourt::WriteTransaction& t) { t.AppendEvent("sale", {}, old); })
            .get();
    }
    forecourt::Retention retention(forecourt::RetentionConfig{}, HeldForBroker("north-17"));
    const auto round = [&] {
        journal
            .Write([&](forecourt::WriteTransaction& t) {
                while (retention.Step(t.Db(), std::chrono::system_clock::now())) {
                }
            })
            .get();
        return journal.EventsAfter(0, 100).front().sequence;
    };
    const auto acknowledge = [&](const std::string& station, Sequence sequence) {
        std::promise<std::exception_ptr> written;
        WritePosition(journal, station, sequence,
                      [&](std::exception_ptr error) { written.set_value(error); });
        ASSERT_EQ(written.get_future().get(), nullptr);
    };
    EXPECT_EQ(round(), 1) << "nothing acknowledged, nothing goes";
    acknowledge("south-2", 15);
    EXPECT_EQ(round(), 1) << "another station's broker position holds nothing of ours";
    acknowledge("north-17", 7);
    EXPECT_EQ(round(), 8);
    acknowledge("north-17", 30);
    EXPECT_EQ(round(), 20) << "the last event stays";
    journal.Stop();
}

}  // namespace
}  // namespace fuel::bridge
