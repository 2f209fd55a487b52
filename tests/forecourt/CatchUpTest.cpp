// A reader's way from the journal to live events: what it reads, where it stops, and what it
// takes live, with a journal of ten events as the reader sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "forecourt/CatchUp.h"

namespace fuel::forecourt {
namespace {

// The journal's events first..last (those before first let go of), as Journal::EventsAfter
// gives them.
EventReader JournalUpTo(Sequence last, Sequence first = 1) {
    return [last, first](Sequence after, std::size_t limit) {
        std::vector<Event> events;
        for (Sequence s = std::max(after + 1, first); s <= last && events.size() < limit; ++s)
            events.push_back(Event{s, "e", {}, nullptr});
        return events;
    };
}

std::vector<Sequence> Numbers(const std::vector<Event>& events) {
    std::vector<Sequence> numbers;
    for (const Event& event : events)
        numbers.push_back(event.sequence);
    return numbers;
}

struct ReadCase {
    const char* name;
    Sequence after;
    Sequence horizon;
    std::size_t limit;
    Sequence journalHas;
    Sequence journalKeepsFrom;
    std::vector<Sequence> read;
    Sequence position;
    bool lost;
    std::optional<Sequence> oldest;
};

class CatchUpReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CatchUpReadTest, ReadsUpToTheHorizonAndNoFurther) {
    const ReadCase& c = GetParam();
    CatchUp place(c.after);
    const std::vector<Event> read =
        place.Read(JournalUpTo(c.journalHas, c.journalKeepsFrom), c.horizon, c.limit);
    EXPECT_EQ(Numbers(read), c.read);
    EXPECT_EQ(place.Lost(), c.lost);
    EXPECT_EQ(place.Oldest(), c.oldest);
    EXPECT_EQ(place.Position(), c.after);  // until the reader takes them
    for (const Event& event : read)
        EXPECT_TRUE(place.Accept(event.sequence));
    EXPECT_EQ(place.Position(), c.position);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CatchUpReadTest,
    ::testing::Values(
        ReadCase{"AChunkAtATime", 2, 10, 3, 10, 1, {3, 4, 5}, 5, false, {}},
        ReadCase{"StopsAtTheHorizonThoughTheJournalHasMore", 7, 8, 5, 10, 1, {8}, 8, false, {}},
        ReadCase{"NothingWhenAtTheHorizon", 10, 10, 5, 10, 1, {}, 10, false, {}},
        ReadCase{"NothingWhenPastTheHorizon", 12, 10, 5, 10, 1, {}, 12, false, {}},
        ReadCase{"EventsTheJournalCannotGiveAreLost", 4, 10, 5, 4, 1, {}, 4, true, {}},
        ReadCase{"JustAtTheOldestKeptIsNotLost", 5, 10, 3, 10, 6, {6, 7, 8}, 8, false, {}},
        ReadCase{"BehindTheOldestKeptIsLost", 2, 10, 3, 10, 6, {6, 7, 8}, 8, true, 6},
        ReadCase{"AllLetGoOfIsLost", 2, 10, 3, 10, 11, {}, 2, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The reload goes on after the horizon, and says where the reader was and what is kept.
TEST(CatchUpReloadTest, SaysWhereTheReaderWasAndWhatTheJournalKeeps) {
    CatchUp place(2);
    place.Read(JournalUpTo(10, 6), 10, 3);
    ASSERT_TRUE(place.Lost());
    const Event reload = place.Reload(10);
    EXPECT_EQ(reload.type, event_type::kReload);
    EXPECT_EQ(reload.sequence, 10);
    EXPECT_EQ(reload.data, (nlohmann::json{{"after", 2}, {"oldest", 6}}));
}

// Live events after reading: those already read are told apart, the rest move the place on;
// fill progress (no sequence) always passes.
TEST(CatchUpLiveTest, TakesEachJournaledEventOnceAndEveryProgress) {
    CatchUp place(0);
    for (const Event& event : place.Read(JournalUpTo(10), 5, 100))
        place.Accept(event.sequence);
    EXPECT_EQ(place.Position(), 5);
    EXPECT_FALSE(place.Accept(4));
    EXPECT_FALSE(place.Accept(5));
    EXPECT_TRUE(place.Accept(6));
    EXPECT_FALSE(place.Accept(6));
    EXPECT_TRUE(place.Accept(0));
    EXPECT_EQ(place.Position(), 6);
    place.SkipTo(3);  // never backwards
    EXPECT_EQ(place.Position(), 6);
    place.SkipTo(9);
    EXPECT_FALSE(place.Accept(8));
    EXPECT_TRUE(place.Reached(9));
}

}  // namespace
}  // namespace fuel::forecourt
