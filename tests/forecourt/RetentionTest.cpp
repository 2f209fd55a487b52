// What the retention lets go of in a real journal: each kind of row at each age, what must
// stay whatever its age (an uncleared sale, a running fill, a nozzle's last reading, a key
// still waiting for its outcome, an event the broker has not acknowledged, the last event),
// a batch at a time; and a reader behind what is kept, told to reload.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "forecourt/Journal.h"
#include "forecourt/Publisher.h"
#include "forecourt/Retention.h"
#include "forecourt/Store.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

using std::chrono::hours;
constexpr hours kDay{24};

const Time kNow = ParseTime("2026-12-09T12:00:00.000Z").value();

class RetentionTest : public ::testing::Test {
  public:
    RetentionTest() { Journal schema(File()); }

    std::filesystem::path File() const { return directory_.Path() / "journal.db"; }
    std::int64_t Count(const std::string& sql) {
        Connection db(File(), Connection::Mode::ReadOnly);
        Statement& select = db.Prepare(sql);
        select.Step();
        return select.Integer(0);
    }
    void Write(const std::function<void(Connection&)>& rows) {
        Connection& db = Writer();
        db.Execute("BEGIN");
        rows(db);
        db.Execute("COMMIT");
    }
    void Event(Time at) {
        Writer()
            .Prepare("INSERT INTO events (at, type, data) VALUES (?1, 'e', '{}')")
            .Bind(1, FormatTime(at))
            .Run();
    }
    // A fill that ended at `at` and is left in `state`.
    void Fill(Time at, std::string_view state) {
        Connection& db = Writer();
        const SaleId id = InsertAuthorised(db, 1, Preset::Volume(10), {}, false, "till", at);
        if (state == "AUTHORISED")
            return;
        MarkStarted(db, id, 1, "95", 45.67, 1000, at);
        if (state == "FUELLING")
            return;
        if (state == "CANCELLED") {
            MarkCancelled(db, id, "no fuel", at);
            return;
        }
        MarkEnded(db, id, {10, 456.7, false, 1010, std::nullopt}, at);
        if (state == "CLEARED")
            ChangeSale(db, id, SaleOperation::Clear, "till", at);
        if (state == "LOCKED")
            ChangeSale(db, id, SaleOperation::Lock, "till", at);
    }
    // Runs the retention's steps until its round is over; the steps taken.
    int Round(Retention& retention, Time now = kNow) {
        int steps = 0;
        while (retention.Step(Writer(), now))
            ++steps;
        return steps;
    }
    Connection& Writer() {
        if (!writer_)
            writer_ = std::make_unique<Connection>(File(), Connection::Mode::ReadWrite);
        return *writer_;
    }
    // The journal as the forecourt opens it, on what the test wrote.
    Journal& OpenJournal() {
        writer_.reset();
        journal_ = std::make_unique<Journal>(File());
        return *journal_;
    }

  private:
    fuel::test::TemporaryDirectory directory_;
    std::unique_ptr<Connection> writer_;
    std::unique_ptr<Journal> journal_;
};

// Each kind of row by its age against the defaults (events 90 days, sales and readings 10
// years, keys 7 days): what goes and what stays.
struct AgeCase {
    const char* name;
    std::function<void(RetentionTest&)> make;
    const char* count;  // SQL counting what is left
    std::int64_t left;
};

class RetentionAgeTest : public RetentionTest, public ::testing::WithParamInterface<AgeCase> {};

TEST_P(RetentionAgeTest, DeletesWhatHasExpiredAndKeepsTheRest) {
    Write([&](Connection&) { GetParam().make(*this); });
    Retention retention(RetentionConfig{});
    Round(retention);
    EXPECT_EQ(Count(GetParam().count), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetentionAgeTest,
    ::testing::Values(
        AgeCase{"EventsOlderThanTheirDaysGoTheLastStays",
                [](RetentionTest& t) {
                    for (int age : {200, 120, 91, 89, 10})
                        t.Event(kNow - kDay * age);
                },
                "SELECT COUNT(*) FROM events", 2},
        AgeCase{"TheLastEventStaysHoweverOld",
                [](RetentionTest& t) {
                    for (int age : {400, 300, 200})
                        t.Event(kNow - kDay * age);
                },
                "SELECT MIN(seq) FROM events", 3},
        AgeCase{"ClearedAndCancelledGoAfterTheirYears",
                [](RetentionTest& t) {
                    t.Fill(kNow - kDay * 3700, "CLEARED");
                    t.Fill(kNow - kDay * 3700, "CANCELLED");
                    t.Fill(kNow - kDay * 3600, "CLEARED");
                },
                "SELECT COUNT(*) FROM fills", 1},
        AgeCase{"UnclearedSalesAndOpenFillsStayWhateverTheirAge",
                [](RetentionTest& t) {
                    for (const char* state : {"PAYABLE", "LOCKED", "AUTHORISED", "FUELLING"})
                        t.Fill(kNow - kDay * 5000, state);
                },
                "SELECT COUNT(*) FROM fills", 4},
        AgeCase{"ReadingsGoButEachNozzlesLastStays",
                [](RetentionTest& t) {
                    Connection& db = t.Writer();
                    for (int age : {5000, 4000, 3700})
                        InsertReading(db, 1, 1, 100, kNow - kDay * age, "read");
                    InsertReading(db, 1, 2, 7, kNow - kDay * 5000, "read");  // its only one
                    InsertReading(db, 1, 1, 200, kNow - kDay * 10, "read");
                },
                "SELECT COUNT(*) FROM readings", 2},
        AgeCase{"KeysGoAfterTheirDaysButNotOneStillWaiting",
                [](RetentionTest& t) {
                    Connection& db = t.Writer();
                    db.Execute(
                        "INSERT INTO requests (client, key, request, outcome, at) VALUES "
                        "('a', '1', '{}', '{}', '2026-11-01T00:00:00.000Z'), "
                        "('a', '2', '{}', NULL, '2026-11-01T00:00:00.000Z'), "
                        "('a', '3', '{}', '{}', '2026-12-08T00:00:00.000Z')");
                },
                "SELECT COUNT(*) FROM requests", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RetentionTest, NothingGoesWhenKeptForEver) {
    Write([&](Connection&) {
        Event(kNow - kDay * 9000);
        Event(kNow - kDay * 9000);
        Fill(kNow - kDay * 9000, "CLEARED");
        InsertReading(Writer(), 1, 1, 1, kNow - kDay * 9000, "read");
        InsertReading(Writer(), 1, 1, 2, kNow - kDay * 8000, "read");
    });
    Retention retention(RetentionConfig{0, 0, 0});
    EXPECT_EQ(Round(retention), 0);
    EXPECT_EQ(Count("SELECT (SELECT COUNT(*) FROM events) + (SELECT COUNT(*) FROM fills) + "
                    "(SELECT COUNT(*) FROM readings)"),
              5);
}

// The broker's acknowledged position holds the events after it, however old; as it moves
// on, so does the retention, and never past it.
TEST_F(RetentionTest, NeverDeletesAnEventTheBrokerHasNotAcknowledged) {
    Write([&](Connection&) {
        for (int i = 0; i < 10; ++i)
            Event(kNow - kDay * 200);
        Event(kNow);
    });
    Sequence acknowledged = 0;
    Retention retention(RetentionConfig{}, [&](Connection&) { return acknowledged; });
    struct Step {
        Sequence acknowledged;
        std::int64_t oldestLeft;
    };
    for (const Step step : {Step{0, 1}, Step{4, 5}, Step{3, 5}, Step{10, 11}, Step{99, 11}}) {
        acknowledged = step.acknowledged;
        Round(retention);
        EXPECT_EQ(Count("SELECT MIN(seq) FROM events"), step.oldestLeft)
            << "acknowledged " << step.acknowledged;
    }
}

// No step deletes more than its batch, so that the writer's jobs wait for one small
// transaction at most; the round takes as many steps as it needs.
TEST_F(RetentionTest, DeletesABatchAtATime) {
    Write([&](Connection&) {
        for (int i = 0; i < 23; ++i)
            Event(kNow - kDay * 100);
        Event(kNow);
    });
    Retention retention(RetentionConfig{}, {}, 5);
    std::vector<std::int64_t> left;
    while (retention.Step(Writer(), kNow))
        left.push_back(Count("SELECT COUNT(*) FROM events"));
    EXPECT_EQ(left, (std::vector<std::int64_t>{19, 14, 9, 4, 1}));
    EXPECT_EQ(retention.Totals().events, 23u);
}

// On the journal's writer, between the jobs: every step's time is measured.
TEST_F(RetentionTest, RunsOnTheWritersThreadBetweenTheJobs) {
    Write([&](Connection&) {
        for (int i = 0; i < 40; ++i)
            Event(kNow - kDay * 100);
    });
    auto retention = std::make_shared<Retention>(RetentionConfig{}, Retention::HeldEvents{}, 10);
    Journal& journal = OpenJournal();
    journal.SetHousekeeping([retention](Connection& db) { return retention->Step(db, kNow); },
                            std::chrono::hours(1));
    journal.Start();
    const auto appended =
        journal.Write([](WriteTransaction& t) { return t.AppendEvent("new", {}, kNow); }).get();
    EXPECT_EQ(appended, 41);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Count("SELECT COUNT(*) FROM events") > 1 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(Count("SELECT MIN(seq) FROM events"), 41);
    const Journal::HousekeepingTimes times = journal.Housekeeping();
    EXPECT_GE(times.steps, 4u);
    EXPECT_GT(times.longest.count(), 0);
    journal.Stop();
}

// A subscriber that resumes after events the journal no longer keeps hears a reload, with
// the oldest kept, then goes on live: never the kept events as if nothing had gone before.
TEST_F(RetentionTest, ASubscriberBehindWhatIsKeptIsToldToReload) {
    Write([&](Connection&) {
        for (int i = 0; i < 6; ++i)
            Event(kNow - kDay * 100);
        for (int i = 0; i < 3; ++i)
            Event(kNow);
    });
    Retention retention(RetentionConfig{});
    Round(retention);
    ASSERT_EQ(Count("SELECT MIN(seq) FROM events"), 7);

    Journal& journal = OpenJournal();
    Publisher publisher(journal);
    journal.SetPublisher(&publisher);
    journal.Start();
    publisher.Start();
    std::mutex mutex;
    std::condition_variable changed;
    std::map<Sequence, std::vector<forecourt::Event>> seen;
    std::vector<std::uint64_t> subscribers;
    for (Sequence after : {Sequence{2}, Sequence{6}}) {
        subscribers.push_back(publisher.Add(
            after,
            [&, after](const forecourt::Event& event) {
                std::lock_guard lock(mutex);
                seen[after].push_back(event);
                changed.notify_all();
            },
            false));
    }
    const Sequence live =
        journal.Write([](WriteTransaction& t) { return t.AppendEvent("live", {}, kNow); }).get();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return seen[2].size() >= 2 && seen[6].size() >= 4; }));
    const std::vector<forecourt::Event>& behind = seen[2];
    ASSERT_EQ(behind.size(), 2u);
    EXPECT_EQ(behind[0].type, event_type::kReload);
    EXPECT_EQ(behind[0].sequence, 9) << "the stream goes on after the horizon";
    EXPECT_EQ(behind[0].data, (nlohmann::json{{"after", 2}, {"oldest", 7}}));
    EXPECT_EQ(behind[1].sequence, live);
    std::vector<Sequence> justInTime;
    for (const forecourt::Event& event : seen[6])
        justInTime.push_back(event.sequence);
    EXPECT_EQ(justInTime, (std::vector<Sequence>{7, 8, 9, live})) << "nothing of it was lost";
    lock.unlock();
    for (const std::uint64_t id : subscribers)
        publisher.Remove(id);
    publisher.Stop();
    journal.Stop();
}

}  // namespace
}  // namespace fuel::forecourt
