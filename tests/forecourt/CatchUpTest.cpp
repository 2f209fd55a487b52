// A reader's way from the journal to live events: what it reads, where it stops, and what it
// takes live, with a journal of ten events as the reader sees it.
#include <gtest/gtest.h>

#include <vector>

#include "forecourt/CatchUp.h"

namespace fuel::forecourt {
namespace {

// The journal's events 1..last, as Journal::EventsAfter gives them.
EventReader JournalUpTo(Sequence last) {
    return [last](Sequence after, std::size_t limit) {
        std::vector<Event> events;
        for (Sequence s = after + 1; s <= last && events.size() < limit; ++s)
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
    std::vector<Sequence> read;
    Sequence position;
    bool missing;
};

class CatchUpReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CatchUpReadTest, ReadsUpToTheHorizonAndNoFurther) {
    const ReadCase& c = GetParam();
    CatchUp place(c.after);
    const std::vector<Event> read = place.Read(JournalUpTo(c.journalHas), c.horizon, c.limit);
    EXPECT_EQ(Numbers(read), c.read);
    EXPECT_EQ(place.Missing(), c.missing);
    EXPECT_EQ(place.Position(), c.after);  // until the reader takes them
    for (const Event& event : read)
        EXPECT_TRUE(place.Accept(event.sequence));
    EXPECT_EQ(place.Position(), c.position);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CatchUpReadTest,
    ::testing::Values(ReadCase{"AChunkAtATime", 2, 10, 3, 10, {3, 4, 5}, 5, false},
                      ReadCase{
                          "StopsAtTheHorizonThoughTheJournalHasMore", 7, 8, 5, 10, {8}, 8, false},
                      ReadCase{"NothingWhenAtTheHorizon", 10, 10, 5, 10, {}, 10, false},
                      ReadCase{"NothingWhenPastTheHorizon", 12, 10, 5, 10, {}, 12, false},
                      ReadCase{"EventsTheJournalCannotGiveAreMissing", 4, 10, 5, 4, {}, 4, true}),
    [](const auto& info) { return std::string(info.param.name); });

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
