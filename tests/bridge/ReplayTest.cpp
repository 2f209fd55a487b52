#include "bridge/Replay.h"

#include <gtest/gtest.h>

#include "bridge/Topics.h"

namespace fuel::bridge {
namespace {

using forecourt::Event;
using forecourt::Sequence;

const Identities kIdentities = {{"hq", Role::Backoffice}, {"screen", Role::Viewer}};
const std::string kHq = ReplayCommandTopic("s", "hq");

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.what;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

struct Refusal {
    const char* what;
    std::string topic;
    std::string payload;
    std::optional<std::string> id;  // what the reply carries
    std::string status;
    std::string reason;
};

class ReplayRefusedTest : public testing::TestWithParam<Refusal> {};

TEST_P(ReplayRefusedTest, RepliesWithTheReason) {
    const Refusal& refusal = GetParam();
    const auto read = ReadReplayCommand(refusal.topic, refusal.payload, kIdentities);
    ASSERT_TRUE(std::holds_alternative<Reply>(read)) << refusal.what;
    const Reply& reply = std::get<Reply>(read);
    EXPECT_EQ(reply.command, replay::kCommand) << refusal.what;
    EXPECT_EQ(reply.id, refusal.id) << refusal.what;
    EXPECT_EQ(reply.status, refusal.status) << refusal.what;
    EXPECT_EQ(reply.reason, refusal.reason) << refusal.what;
    EXPECT_FALSE(reply.message.empty()) << refusal.what;
    EXPECT_EQ(ToJson(reply, "s")["command"], "replay") << refusal.what;
}

Refusal Bad(const char* what, std::string payload, std::optional<std::string> id = "r1") {
    return Refusal{what, kHq, std::move(payload), std::move(id), "invalid", "bad-request"};
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplayRefusedTest,
    testing::Values(
        // The checks every command shares (CommandTest) answer as a replay's.
        Bad("not JSON", "from 1 to 2", std::nullopt), Bad("no from", R"({"id":"r1","to":2})"),
        Bad("no to", R"({"id":"r1","from":1})"),
        Bad("from a string", R"({"id":"r1","from":"1","to":2})"),
        Bad("from a fraction", R"({"id":"r1","from":1.5,"to":2})"),
        Bad("to a whole float", R"({"id":"r1","from":1,"to":2.0})"),
        Bad("from zero", R"({"id":"r1","from":0,"to":2})"),
        Bad("from negative", R"({"id":"r1","from":-3,"to":2})"),
        Bad("from after to", R"({"id":"r1","from":5,"to":4})"),
        Bad("to beyond any sequence", R"({"id":"r1","from":1,"to":18446744073709551615})"),
        Bad("range one too large",
            R"({"id":"r1","from":2,"to":)" + std::to_string(replay::kMaxEvents + 2) + "}"),
        Refusal{"no identity level", "stations/s/commands/replay/",
                R"({"id":"r1","from":1,"to":2})", "r1", "invalid", "bad-request"},
        Refusal{"stranger", ReplayCommandTopic("s", "mallory"), R"({"id":"r1","from":1,"to":2})",
                "r1", "forbidden", "unknown-identity"}),
    CaseName<Refusal>);

// A journal that keeps oldest..last, and can let go of its beginning as a replay runs.
struct FakeJournal {
    Sequence oldest = 1;
    Sequence last = 0;
    std::vector<Event> EventsAfter(Sequence after, std::size_t limit) const {
        std::vector<Event> events;
        for (Sequence s = std::max(after + 1, oldest); s <= last && events.size() < limit; ++s) {
            events.push_back(Event{s, "fuel-point", {}, {{"n", s}}});
        }
        return events;
    }
    forecourt::EventReader Reader() const {
        return [this](Sequence after, std::size_t limit) { return EventsAfter(after, limit); };
    }
};

// Takes and accepts everything, `limit` at a time, as a bridge with that window would.
std::vector<Sequence> SendAll(Replays& replays, const FakeJournal& journal, std::size_t limit,
                              std::vector<Reply>& replies) {
    std::vector<Sequence> sent;
    for (;;) {
        const std::vector<Event> events =
            replays.Take(journal.Reader(), journal.last, limit, replies);
        EXPECT_LE(events.size(), limit);
        for (const Event& event : events) {
            sent.push_back(event.sequence);
            replays.Accept(event.sequence);
        }
        if (auto reply = replays.Finish(journal.Reader(), journal.last, true)) {
            replies.push_back(std::move(*reply));
            continue;
        }
        if (events.empty())
            return sent;
    }
}

std::vector<Sequence> Span(Sequence from, Sequence to) {
    std::vector<Sequence> run;
    for (Sequence s = from; s <= to; ++s)
        run.push_back(s);
    return run;
}

struct RangeCase {
    const char* what;
    Sequence oldest, last, from, to;
    std::vector<Sequence> sent;
    std::string status, reason;
    nlohmann::json data;
};

class ReplayRangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(ReplayRangeTest, SendsWhatIsKeptAndSaysSo) {
    const RangeCase& c = GetParam();
    const FakeJournal journal{c.oldest, c.last};
    Replays replays;
    ASSERT_TRUE(replays.Add({"r1", "hq", c.from, c.to}));
    std::vector<Reply> replies;
    EXPECT_EQ(SendAll(replays, journal, 4, replies), c.sent) << c.what;
    ASSERT_EQ(replies.size(), 1u) << c.what;
    EXPECT_EQ(replies[0].id, "r1");
    EXPECT_EQ(replies[0].status, c.status) << c.what;
    EXPECT_EQ(replies[0].reason, c.reason) << c.what;
    EXPECT_EQ(replies[0].data, c.data) << c.what;
    EXPECT_TRUE(replays.Idle());
}

nlohmann::json Data(Sequence from, Sequence to, Sequence oldest, Sequence last) {
    return {{"from", from}, {"to", to}, {"oldest", oldest}, {"last", last}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplayRangeTest,
    testing::Values(
        RangeCase{"all kept", 1, 20, 3, 13, Span(3, 13), "applied", "", Data(3, 13, 1, 20)},
        RangeCase{"one event", 5, 20, 20, 20, {20}, "applied", "", Data(20, 20, 5, 20)},
        RangeCase{"beginning gone", 8, 20, 3, 13, Span(8, 13), "applied", "", Data(8, 13, 8, 20)},
        RangeCase{"all gone", 14, 20, 3, 13, {}, "failed", "not-kept", Data(3, 13, 14, 20)},
        RangeCase{
            "nothing kept at all", 21, 20, 3, 13, {}, "failed", "not-kept", Data(3, 13, 21, 20)},
        RangeCase{"cut at the last", 1, 20, 15, 21, Span(15, 20), "applied", "",
                  Data(15, 20, 1, 20)},
        RangeCase{"all after the last", 1, 20, 21, 30, {}, "applied", "", Data(21, 20, 1, 20)},
        RangeCase{"after an empty journal", 1, 0, 1, 100, {}, "applied", "", Data(1, 0, 1, 0)}),
    CaseName<RangeCase>);

TEST(ReplaysTest, OneAtATimeInArrivalOrderAndOnlyOnceAcknowledged) {
    const FakeJournal journal{1, 30};
    Replays replays;
    ASSERT_TRUE(replays.Add({"a", "hq", 10, 12}));
    ASSERT_TRUE(replays.Add({"b", "hq", 2, 3}));
    std::vector<Reply> replies;
    std::vector<Event> events = replays.Take(journal.Reader(), 30, 64, replies);
    ASSERT_EQ(events.size(), 3u);
    for (const Event& event : events)
        replays.Accept(event.sequence);
    // Read to its end, but the broker has not acknowledged all of it: no reply, and the
    // next replay waits.
    EXPECT_FALSE(replays.Finish(journal.Reader(), 30, false));
    EXPECT_TRUE(replays.Take(journal.Reader(), 30, 64, replies).empty());
    const std::optional<Reply> a = replays.Finish(journal.Reader(), 30, true);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->id, "a");
    events = replays.Take(journal.Reader(), 30, 64, replies);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events.front().sequence, 2);
    EXPECT_TRUE(replies.empty());
}

TEST(ReplaysTest, WhatWasNotAcceptedIsGivenAgainAndANewConnectionStartsOver) {
    const FakeJournal journal{1, 30};
    Replays replays;
    ASSERT_TRUE(replays.Add({"a", "hq", 5, 14}));
    std::vector<Reply> replies;
    std::vector<Event> events = replays.Take(journal.Reader(), 30, 4, replies);
    ASSERT_EQ(events.size(), 4u);
    replays.Accept(5);
    replays.Accept(6);  // the connection went with 7 and 8 unsent
    events = replays.Take(journal.Reader(), 30, 4, replies);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().sequence, 7);
    replays.Restart();
    EXPECT_EQ(SendAll(replays, journal, 4, replies), Span(5, 14));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].data, Data(5, 14, 1, 30));
}

TEST(ReplaysTest, RetentionThatLetsGoMidwayIsToldInTheReply) {
    FakeJournal journal{1, 30};
    Replays replays;
    ASSERT_TRUE(replays.Add({"a", "hq", 2, 20}));
    std::vector<Reply> replies;
    for (const Event& event : replays.Take(journal.Reader(), 30, 4, replies))
        replays.Accept(event.sequence);  // 2..5
    journal.oldest = 12;
    EXPECT_EQ(SendAll(replays, journal, 4, replies), Span(12, 20));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, "applied");
    EXPECT_EQ(replies[0].data, Data(12, 20, 12, 30));
    EXPECT_FALSE(replies[0].message.empty());

    // Gone altogether after part of it was sent.
    ASSERT_TRUE(replays.Add({"b", "hq", 14, 25}));
    replies.clear();
    for (const Event& event : replays.Take(journal.Reader(), 30, 3, replies))
        replays.Accept(event.sequence);  // 14..16
    journal.oldest = 31;
    SendAll(replays, journal, 3, replies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, "applied");
    EXPECT_EQ(replies[0].data, Data(14, 16, 31, 30));
}

}  // namespace
}  // namespace fuel::bridge
