#include "hq/Intake.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "StoreFixture.h"
#include "forecourt/EventTypes.h"
#include "hq/Schema.h"
#include "hq/Watermark.h"
#include "testing/StationJournal.h"

namespace fuel::hq::test {
namespace {

namespace event_type = forecourt::event_type;

class IntakeTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (IsSkipped())
            return;
        Migrate(Db());
        intake_ = std::make_unique<Intake>(
            Db(), [this](const std::string& line) { logged_.push_back(line); });
    }
    IntakeReport Store(const std::vector<Message>& batch) { return intake_->Store(batch); }
    std::int64_t Count(const std::string& station) {
        return Db().Exec("SELECT count(*) FROM events WHERE station = $1", {station}).Integer(0, 0);
    }
    std::int64_t Watermark(const std::string& station) {
        return Db().Exec("SELECT watermark FROM stations WHERE id = $1", {station}).Integer(0, 0);
    }
    std::vector<std::string> logged_;

  private:
    std::unique_ptr<Intake> intake_;
};

// A fuel point's event, numbered so that each is distinct.
nlohmann::json Point(int id) {
    forecourt::FuelPointView view;
    view.id = id;
    view.state = forecourt::FuelPointState::Idle;
    return forecourt::ToJson(view);
}

TEST_F(IntakeTest, BatchDeliveredTwiceIsStoredOnce) {
    StationJournal north("north"), south("south");
    for (int i = 1; i <= 5; ++i) {
        north.Add(event_type::kFuelPoint, Point(i));
        south.Add(event_type::kFuelPoint, Point(i));
    }
    std::vector<Message> batch = north.Messages();
    batch.insert(batch.end(), south.Messages().begin(), south.Messages().end());
    const IntakeReport first = Store(batch);
    EXPECT_EQ(first.events, 10u);
    EXPECT_EQ(first.stored, 10u);
    EXPECT_EQ(first.repeats, 0u);
    EXPECT_EQ(first.ready, (std::vector<std::string>{"north", "south"}));
    const IntakeReport again = Store(batch);
    EXPECT_EQ(again.stored, 0u);
    EXPECT_EQ(again.repeats, 10u);
    EXPECT_EQ(again.differing, 0u);
    EXPECT_EQ(Count("north"), 5);
    EXPECT_EQ(Count("south"), 5);
    EXPECT_EQ(Watermark("north"), 5);
    // Twice within one batch as well.
    std::vector<Message> doubled = {north.Add(event_type::kFuelPoint, Point(6))};
    doubled.push_back(doubled.front());
    const IntakeReport inOne = Store(doubled);
    EXPECT_EQ(inOne.stored, 1u);
    EXPECT_EQ(inOne.repeats, 1u);
    EXPECT_EQ(Count("north"), 6);
}

// The same sequence again: other bytes of the same JSON are a plain repeat; another content
// is counted and told, and the first copy stays, whether it came in an earlier batch or
// earlier in the same one.
TEST_F(IntakeTest, FirstCopyOfAnEventWins) {
    const std::string first =
        R"({"id":1,"type":"price","at":"2026-05-01T10:00:00.000Z","data":{"a":1,"b":2},"station":"north"})";
    const struct {
        const char* name;
        bool sameBatch;
        std::string second;
        std::size_t differing;
    } cases[] = {
        {"keys in another order, spaced", false,
         R"({ "station":"north", "data":{"b":2, "a":1}, "at":"2026-05-01T10:00:00.000Z", "type":"price", "id":1 })",
         0},
        {"another content", false,
         R"({"id":1,"type":"price","at":"2026-05-01T10:00:00.000Z","data":{"a":9},"station":"north"})",
         1},
        {"another time", false,
         R"({"id":1,"type":"price","at":"2026-05-01T10:00:01.000Z","data":{"a":1,"b":2},"station":"north"})",
         1},
        {"another content, same batch", true,
         R"({"id":1,"type":"price","at":"2026-05-01T10:00:00.000Z","data":{"a":9},"station":"north"})",
         1},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Db().Exec("TRUNCATE events, stations");
        const Message one{"stations/north/events/price", first};
        const Message two{"stations/north/events/price", c.second};
        IntakeReport report;
        if (c.sameBatch) {
            report = Store({one, two});
        } else {
            Store({one});
            report = Store({two});
        }
        EXPECT_EQ(report.differing, c.differing);
        EXPECT_EQ(Count("north"), 1);
        EXPECT_EQ(Db().Exec("SELECT data = '{\"a\":1,\"b\":2}'::jsonb AND at = "
                            "'2026-05-01T10:00:00Z' FROM events")
                      .Boolean(0, 0),
                  true);
        ++round;
    }
    EXPECT_EQ(round, 4);
}

// What no station sends is counted and passed over; the good event beside it is stored.
TEST_F(IntakeTest, MalformedMessagesNeverStopTheBatch) {
    const auto event = [](const std::string& fields) {
        return Message{"stations/north/events/sale", "{" + fields + "}"};
    };
    const std::string good = R"("id":1,"type":"sale","at":"2026-05-01T10:00:00Z","data":{})";
    const struct {
        const char* name;
        Message message;
        std::size_t malformed, live, other;
    } cases[] = {
        {"not JSON", {"stations/north/events/sale", "{\"id\":"}, 1, 0, 0},
        {"another station's", event(good + R"(,"station":"south")"), 1, 0, 0},
        {"no station", event(good), 1, 0, 0},
        {"sequence 0",
         event(R"("id":0,"type":"sale","at":"2026-05-01T10:00:00Z","data":{},"station":"north")"),
         1, 0, 0},
        {"sequence as text",
         event(R"("id":"2","type":"sale","at":"2026-05-01T10:00:00Z","data":{},"station":"north")"),
         1, 0, 0},
        {"sequence past int64",
         event(
             R"("id":18446744073709551615,"type":"sale","at":"2026-05-01T10:00:00Z","data":{},"station":"north")"),
         1, 0, 0},
        {"type not the topic's",
         event(R"("id":2,"type":"price","at":"2026-05-01T10:00:00Z","data":{},"station":"north")"),
         1, 0, 0},
        {"a day that is not",
         event(R"("id":2,"type":"sale","at":"2026-02-30T10:00:00Z","data":{},"station":"north")"),
         1, 0, 0},
        {"a time without zone",
         event(R"("id":2,"type":"sale","at":"2026-05-01T10:00:00","data":{},"station":"north")"), 1,
         0, 0},
        {"no data", event(R"("id":2,"type":"sale","at":"2026-05-01T10:00:00Z","station":"north")"),
         1, 0, 0},
        {"a NUL in a text",
         event(
             R"("id":2,"type":"sale","at":"2026-05-01T10:00:00Z","data":{"x":"a\u0000b"},"station":"north")"),
         1, 0, 0},
        {"a status that is none", {"stations/north/status", "maybe"}, 1, 0, 0},
        {"info without groups", {"stations/north/info", R"({"station":"north"})"}, 1, 0, 0},
        {"live progress",
         event(
             R"("id":null,"type":"sale","at":"2026-05-01T10:00:00Z","data":{},"station":"north")"),
         0, 1, 0},
        {"a reply", {"stations/north/replies", "{}"}, 0, 0, 1},
        {"not a station's topic", {"elsewhere/north", "{}"}, 0, 0, 1},
        {"a retained status deleted", {"stations/north/status", ""}, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Db().Exec("TRUNCATE events, stations");
        logged_.clear();
        const IntakeReport report = Store({c.message, event(good + R"(,"station":"north")")});
        EXPECT_EQ(report.malformed, c.malformed);
        EXPECT_EQ(report.live, c.live);
        EXPECT_EQ(report.other, c.other);
        EXPECT_EQ(report.stored, 1u);
        EXPECT_EQ(Count("north"), 1);
        EXPECT_EQ(logged_.size(), c.malformed);
    }
}

// The watermark stops at a gap and moves on when it fills, whatever order events come in.
TEST_F(IntakeTest, WatermarkStopsAtAGapAndMovesWhenItFills) {
    const struct {
        const char* name;
        std::vector<std::vector<int>> batches;
        std::vector<std::int64_t> watermarks;  // after each batch
        std::vector<bool> gapOpen;
    } cases[] = {
        {"in order", {{1, 2, 3}, {4}}, {3, 4}, {false, false}},
        {"a hole filled", {{1, 3}, {2}}, {1, 3}, {true, false}},
        {"the first missing", {{2, 3}, {5}, {1}}, {0, 0, 3}, {true, true, true}},
        {"two holes, filled in turn", {{1, 3, 5}, {4}, {2}}, {1, 1, 5}, {true, true, false}},
        {"out of order in the batch", {{3, 1, 2}}, {3}, {false}},
        {"repeat below the watermark", {{1, 2}, {1, 2}}, {2, 2}, {false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Db().Exec("TRUNCATE events, stations");
        StationJournal journal("north");
        for (int i = 1; i <= 5; ++i)
            journal.Add(event_type::kFuelPoint, Point(i));
        for (std::size_t b = 0; b < c.batches.size(); ++b) {
            std::vector<Message> batch;
            for (const int sequence : c.batches[b])
                batch.push_back(journal.Messages()[static_cast<std::size_t>(sequence - 1)]);
            Store(batch);
            EXPECT_EQ(Watermark("north"), c.watermarks[b]) << "batch " << b;
            EXPECT_EQ(Db().Exec("SELECT gap_since IS NOT NULL FROM stations").Boolean(0, 0),
                      c.gapOpen[b])
                << "batch " << b;
        }
    }
}

// Stations with gaps in one batch, read back together: each moves over its own events
// held above its own watermark, and a station without a gap beside them over its new ones.
TEST_F(IntakeTest, StationsWithGapsInOneBatchMoveEachOverItsOwn) {
    std::vector<StationJournal> journals;
    for (const char* name : {"east", "north", "south"}) {
        journals.emplace_back(name);
        for (int i = 1; i <= 6; ++i)
            journals.back().Add(event_type::kFuelPoint, Point(i));
    }
    const auto of = [&](std::size_t station, std::initializer_list<int> sequences) {
        std::vector<Message> messages;
        for (const int sequence : sequences)
            messages.push_back(
                journals[station].Messages()[static_cast<std::size_t>(sequence - 1)]);
        return messages;
    };
    // east in order; north 1 and 3..4 held (a gap at 2); south 1..2 and 5..6 (gaps at 3, 4).
    std::vector<Message> first = of(0, {1, 2});
    for (const auto& part : {of(1, {1, 3, 4}), of(2, {1, 2, 5, 6})})
        first.insert(first.end(), part.begin(), part.end());
    Store(first);
    EXPECT_EQ(Watermark("east"), 2);
    EXPECT_EQ(Watermark("north"), 1);
    EXPECT_EQ(Watermark("south"), 2);
    // north's gap filled, south's half filled, east on.
    std::vector<Message> second = of(2, {3});
    for (const auto& part : {of(1, {2}), of(0, {3})})
        second.insert(second.end(), part.begin(), part.end());
    Store(second);
    EXPECT_EQ(Watermark("east"), 3);
    EXPECT_EQ(Watermark("north"), 4);
    EXPECT_EQ(Watermark("south"), 3);
    const Result gaps = Db().Exec("SELECT id FROM stations WHERE gap_since IS NOT NULL");
    ASSERT_EQ(gaps.Rows(), 1);
    EXPECT_EQ(gaps.Text(0, 0), "south");
    Store(of(2, {4}));
    EXPECT_EQ(Watermark("south"), 6);
}

TEST_F(IntakeTest, StatusAndInfoUpdateTheStation) {
    Store({StatusMessage("north", bridge::kOnline)});
    Store({StatusMessage("north", bridge::kOnline)});  // the retained one again at a reconnect
    Store({StatusMessage("north", bridge::kOnline), StatusMessage("north", bridge::kOffline)});
    const Result station = Db().Exec("SELECT status, status_since IS NOT NULL FROM stations");
    EXPECT_EQ(station.Text(0, 0), "offline");  // the batch's last word
    EXPECT_TRUE(station.Boolean(0, 1));
    const Result changes = Db().Exec("SELECT id, data->>'status' FROM changes ORDER BY id");
    ASSERT_EQ(changes.Rows(), 2);  // online once, then offline
    EXPECT_EQ(changes.Text(0, 1), "online");
    EXPECT_EQ(changes.Text(1, 1), "offline");
    EXPECT_EQ(changes.Integer(1, 0), changes.Integer(0, 0) + 1);

    const std::string info =
        R"({"station":"north","groups":["city","a \"quoted\" one"],"version":"2.50.0",)"
        R"("grades":[{"code":"95","name":"Super","price":1.99}],"fuelPoints":[]})";
    Store({{bridge::InfoTopic("north"), info}});
    const Result known = Db().Exec(
        "SELECT groups = ARRAY['city', 'a \"quoted\" one'], version, "
        "info->'grades'->0->>'code' FROM stations");
    EXPECT_TRUE(known.Boolean(0, 0));
    EXPECT_EQ(known.Text(0, 1), "2.50.0");
    EXPECT_EQ(known.Text(0, 2), "95");
}

// Gaps are asked for once they stood long enough, once, and again after the re-ask time;
// what was asked when is in the database, so that a new worker (here: a new connection)
// knows it.
TEST_F(IntakeTest, GapsAreAskedForWhenDueAndAgainLater) {
    StationJournal north("north");
    for (int i = 1; i <= 9; ++i)
        north.Add(event_type::kFuelPoint, Point(i));
    const auto& all = north.Messages();
    Store({all[0], all[2], all[3], all[6], all[8]});  // held 1, 3, 4, 7, 9
    const GapPolicy policy{std::chrono::seconds(10), std::chrono::seconds(60), 100, 100};
    EXPECT_TRUE(DueGaps(Db(), policy).empty()) << "a gap just opened is not due";
    Db().Exec("UPDATE stations SET gap_since = now() - interval '11 seconds'");
    const std::vector<Gap> expected = {{"north", 2, 2}, {"north", 5, 6}, {"north", 8, 8}};
    EXPECT_EQ(DueGaps(Db(), policy), expected);
    Connection another(Url());
    EXPECT_TRUE(DueGaps(another, policy).empty()) << "asked already";
    Db().Exec("UPDATE stations SET replay_asked_at = now() - interval '61 seconds'");
    EXPECT_EQ(DueGaps(another, policy), expected);
    // The ranges to ask are limited to the oldest.
    Db().Exec("UPDATE stations SET replay_asked_at = NULL");
    EXPECT_EQ(DueGaps(Db(), {policy.openFor, policy.askAgainAfter, 100, 1}),
              std::vector<Gap>{expected.front()});
    // The first gap filled: the watermark moves, and the clock starts again for the rest.
    Store({all[1]});
    EXPECT_EQ(Watermark("north"), 4);
    EXPECT_TRUE(DueGaps(Db(), policy).empty());
    Store({all[4], all[5], all[7]});
    EXPECT_EQ(Watermark("north"), 9);
    EXPECT_TRUE(Db().Exec("SELECT gap_since IS NULL AND replay_asked_at IS NULL FROM stations")
                    .Boolean(0, 0));
}

// A station's last events lost on the way leave no gap to see: an online station quiet for
// long enough is asked for what follows its watermark, once per quiet spell, and no other.
TEST_F(IntakeTest, QuietOnlineStationsAreAskedForWhatFollowsTheirEvents) {
    struct Case {
        const char* station;
        const char* status;
        const char* quietFor;  // since its last event
        const char* askedAgo;  // nullptr: never asked
        bool gap;
        bool probed;
    };
    const Case cases[] = {
        {"quiet", "online", "2 minutes", nullptr, false, true},
        {"asked-long-ago", "online", "2 minutes", "2 minutes", false, true},
        {"just-asked", "online", "2 minutes", "10 seconds", false, false},
        {"busy", "online", "10 seconds", nullptr, false, false},
        {"offline", "offline", "2 minutes", nullptr, false, false},
        {"with-a-gap", "online", "2 minutes", nullptr, true, false},
    };
    for (const Case& c : cases) {
        Db().Exec(
            "INSERT INTO stations (id, status, watermark, published, last_event_at, "
            "replay_asked_at, gap_since) VALUES ($1, $2, 7, 7, now() - $3::interval, "
            "now() - $4::interval, CASE WHEN $5 THEN now() END)",
            {c.station, c.status, c.quietFor, c.askedAgo ? Parameter(c.askedAgo) : std::nullopt,
             c.gap});
    }
    std::vector<Gap> expected;
    for (const Case& c : cases) {
        if (c.probed)
            expected.push_back({c.station, 8, 8});
    }
    std::vector<Gap> probes = DueProbes(Db(), std::chrono::minutes(1));
    std::sort(probes.begin(), probes.end(),
              [](const Gap& a, const Gap& b) { return a.station < b.station; });
    std::sort(expected.begin(), expected.end(),
              [](const Gap& a, const Gap& b) { return a.station < b.station; });
    EXPECT_EQ(probes, expected);
    EXPECT_TRUE(DueProbes(Db(), std::chrono::minutes(1)).empty()) << "asked once per spell";
}

// Events the station no longer keeps: the watermark passes them, and people are told.
TEST_F(IntakeTest, GivingUpLostEventsMovesTheWatermarkAndRaisesAnAlarm) {
    StationJournal north("north");
    for (int i = 1; i <= 6; ++i)
        north.Add(event_type::kFuelPoint, Point(i));
    Store({north.Messages()[0], north.Messages()[4], north.Messages()[5]});  // 1, 5, 6
    EXPECT_EQ(Watermark("north"), 1);
    EXPECT_EQ(GiveUpBefore(Db(), "north", 4), 2);  // 2 and 3 are gone; 4 may still come
    EXPECT_EQ(Watermark("north"), 3);
    Store({north.Messages()[3]});
    EXPECT_EQ(Watermark("north"), 6);
    const Result alarm = Db().Exec("SELECT kind, data->>'lost' FROM alarms");
    ASSERT_EQ(alarm.Rows(), 1);
    EXPECT_EQ(alarm.Text(0, 0), "events-lost");
    EXPECT_EQ(alarm.Text(0, 1), "2");
    EXPECT_EQ(GiveUpBefore(Db(), "north", 4), 0) << "nothing more to give up";
}

// Two workers share a station's events (the broker hands them out in turn) and store them at
// the same time: the watermark still reaches the last event, with no gap left behind, and
// neither worker fails.
TEST_F(IntakeTest, TwoWorkersStoringOneStationAtOnceLeaveNoGap) {
    constexpr int kEvents = 400;
    StationJournal north("north"), south("south");
    for (int i = 1; i <= kEvents; ++i) {
        north.Add(event_type::kFuelPoint, Point(i % 8));
        south.Add(event_type::kFuelPoint, Point(i % 8));
    }
    std::atomic<int> failures{0};
    const auto worker = [&](int half) {
        try {
            Connection db(Url());
            Intake intake(db);
            std::vector<Message> batch;
            for (int i = half; i < kEvents; i += 2) {
                batch.push_back(north.Messages()[static_cast<std::size_t>(i)]);
                batch.push_back(south.Messages()[static_cast<std::size_t>(kEvents - 1 - i)]);
                if (batch.size() == 6) {
                    intake.Store(batch);
                    batch.clear();
                }
            }
            intake.Store(batch);
        } catch (const std::exception&) {
            ++failures;
        }
    };
    std::thread one(worker, 0), two(worker, 1);
    one.join();
    two.join();
    EXPECT_EQ(failures, 0);
    for (const char* station : {"north", "south"}) {
        EXPECT_EQ(Count(station), kEvents) << station;
        EXPECT_EQ(Watermark(station), kEvents) << station;
    }
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM stations WHERE gap_since IS NOT NULL").Integer(0, 0),
              0);
}

}  // namespace
}  // namespace fuel::hq::test
