// The journal on real database files: its schema and migrations, the writer's transactions,
// and the publisher's hand-over from the journal's events to live ones.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "forecourt/Journal.h"
#include "forecourt/Publisher.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

Time At() {
    return std::chrono::system_clock::now();
}

class JournalTest : public ::testing::Test {
  protected:
    std::filesystem::path File() const { return directory_.Path() / "journal.db"; }
    static std::int64_t Count(Journal& journal, const std::string& sql) {
        return journal.Read([&](Connection& db) {
            Statement& select = db.Prepare(sql);
            select.Step();
            return select.Integer(0);
        });
    }
    static Sequence Append(Journal& journal, const std::string& type) {
        return journal.Write([&](WriteTransaction& t) { return t.AppendEvent(type, {}, At()); })
            .get();
    }

  private:
    fuel::test::TemporaryDirectory directory_;
};

TEST_F(JournalTest, NewFileGetsTheSchemaInWalMode) {
    Journal journal(File());
    journal.Read([](Connection& db) {
        EXPECT_EQ(db.UserVersion(), Journal::kSchemaVersion);
        Statement& mode = db.Prepare("PRAGMA journal_mode");
        ASSERT_TRUE(mode.Step());
        EXPECT_EQ(mode.Text(0), "wal");
        Statement& synchronous = db.Prepare("PRAGMA synchronous");
        ASSERT_TRUE(synchronous.Step());
        EXPECT_EQ(synchronous.Integer(0), 2);  // FULL
    });
}

// A file system where SQLite cannot keep a write-ahead log (an in-memory database stands in
// for one) is refused at open, not run without the log's promises.
TEST_F(JournalTest, NoWriteAheadLogIsRefused) {
    try {
        Journal journal(":memory:");
        FAIL() << "a journal without write-ahead logging was opened";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("write-ahead logging"), std::string::npos)
            << error.what();
        EXPECT_NE(std::string(error.what()).find("journal mode memory"), std::string::npos)
            << error.what();
    }
}

TEST_F(JournalTest, NewerSchemaIsRefused) {
    { Journal journal(File()); }
    {
        Connection db(File(), Connection::Mode::ReadWrite);
        db.SetUserVersion(99);
    }
    try {
        Journal journal(File());
        FAIL();
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("version 99"), std::string::npos) << error.what();
    }
}

TEST_F(JournalTest, LayerMigrationsRunOnceEachInOrder) {
    std::vector<std::string> ran;
    const auto migration = [&](std::string layer, int version, std::string sql) {
        return Migration{layer, version, [&ran, layer, version, sql](Connection& db) {
                             ran.push_back(layer + std::to_string(version));
                             db.Execute(sql);
                         }};
    };
    {
        Journal journal(File(), {migration("server", 2, "ALTER TABLE tokens ADD COLUMN role TEXT"),
                                 migration("server", 1, "CREATE TABLE tokens (name TEXT)"),
                                 migration("mqtt", 1, "CREATE TABLE published (seq INTEGER)")});
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"mqtt1", "server1", "server2"}));
    ran.clear();
    {
        Journal journal(File(),
                        {migration("server", 1, "CREATE TABLE tokens (name TEXT)"),
                         migration("server", 2, "ALTER TABLE tokens ADD COLUMN role TEXT"),
                         migration("server", 3, "CREATE INDEX tokens_by_name ON tokens (name)"),
                         migration("mqtt", 1, "CREATE TABLE published (seq INTEGER)")});
        EXPECT_EQ(Count(journal, "SELECT version FROM schema_layers WHERE layer = 'server'"), 3);
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"server3"}));
}

TEST_F(JournalTest, FailedMigrationLeavesNothingBehind) {
    const std::vector<Migration> failing = {Migration{"server", 1, [](Connection& db) {
                                                          db.Execute(
                                                              "CREATE TABLE tokens (name TEXT)");
                                                          db.Execute("THIS IS NOT SQL");
                                                      }}};
    EXPECT_THROW(Journal(File(), failing), DatabaseError);
    Journal journal(File());
    EXPECT_EQ(Count(journal, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'tokens'"), 0);
    EXPECT_EQ(Count(journal, "SELECT COUNT(*) FROM schema_layers"), 0);
    EXPECT_THROW(Journal(File(), {Migration{"server", 2, [](Connection&) {}}}), DatabaseError)
        << "a layer's first migration is 1";
}

TEST_F(JournalTest, FailedJobRollsBackAloneAndTheOthersCommit) {
    Journal journal(File());
    journal.Start();
    // Held back until all three are queued, so that they commit in one transaction.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto blocker = journal.Write([released](WriteTransaction&) { released.wait(); });
    auto first = journal.Write([](WriteTransaction& t) {
        t.Db().Execute("INSERT INTO fuel_points (id, closed) VALUES (1, 0)");
        return t.AppendEvent("a", {}, At());
    });
    auto failing = journal.Write([](WriteTransaction& t) {
        t.Db().Execute("INSERT INTO fuel_points (id, closed) VALUES (2, 0)");
        t.AppendEvent("b", {}, At());
        throw std::runtime_error("no");
    });
    auto third = journal.Write([](WriteTransaction& t) {
        t.Db().Execute("INSERT INTO fuel_points (id, closed) VALUES (3, 0)");
        return t.AppendEvent("c", {}, At());
    });
    release.set_value();
    blocker.get();
    EXPECT_EQ(first.get(), 1);
    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_EQ(third.get(), 2);  // the failed job's number was never given out
    EXPECT_EQ(Count(journal, "SELECT COUNT(*) FROM fuel_points"), 2);
    EXPECT_EQ(Count(journal, "SELECT COUNT(*) FROM fuel_points WHERE id = 2"), 0);
    const std::vector<Event> events = journal.EventsAfter(0, 10);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].type, "c");
}

TEST_F(JournalTest, ReopenedJournalKeepsItsEventsAndGoesOnNumbering) {
    {
        Journal journal(File());
        journal.Start();
        for (int i = 0; i < 5; ++i)
            Append(journal, "e");
    }
    Journal journal(File());
    EXPECT_EQ(journal.LastSequence(), 5);
    journal.Start();
    EXPECT_EQ(Append(journal, "f"), 6);
    const std::vector<Event> events = journal.EventsAfter(2, 2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].sequence, 3);
    EXPECT_EQ(events[1].sequence, 4);
}

// A file that may not grow (SQLite's max_page_count): the job that needs the space fails as
// on a full disk and the journal says it cannot write; once it may grow again, the first
// batch writes the alarm, once, and the journal writes as before.
TEST_F(JournalTest, FullFileIsToldAndTheAlarmComesOnceItWritesAgain) {
    const Migration filler{
        "test", 1, [](Connection& db) { db.Execute("CREATE TABLE filler (bytes BLOB NOT NULL)"); }};
    Journal journal(File(), {filler});
    journal.Start();
    const auto capAt = [&](const std::string& pages) {
        journal
            .Write([pages](WriteTransaction& t) {
                t.Db().Execute("PRAGMA max_page_count = " + pages);
            })
            .get();
    };
    const auto fill = [&] {
        return journal.Write([](WriteTransaction& t) {
            t.Db().Execute("INSERT INTO filler (bytes) VALUES (zeroblob(200000))");
        });
    };
    capAt("1");  // no smaller than the file is now
    try {
        fill().get();
        FAIL() << "the file grew past its limit";
    } catch (const DatabaseError& error) {
        EXPECT_TRUE(error.CannotWrite()) << error.what();
    }
    ASSERT_TRUE(journal.CannotWrite());
    ASSERT_TRUE(journal.Failure().has_value());
    EXPECT_NE(journal.Failure()->error.find("full"), std::string::npos) << journal.Failure()->error;

    capAt("1000000");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (journal.CannotWrite() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(journal.Failure().has_value());
    EXPECT_NO_THROW(fill().get());
    Append(journal, "after");
    std::vector<std::string> alarms;
    for (const Event& event : journal.EventsAfter(0, 100)) {
        if (event.type == event_type::kAlarm)
            alarms.push_back(event.data["kind"].get<std::string>());
    }
    EXPECT_EQ(alarms, std::vector<std::string>{std::string(alarm_kind::kJournalFailed)});
    journal.Stop();
}

// The publisher: what subscribers see of the journal.
class PublisherTest : public JournalTest {
  protected:
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Event> events;
        void Add(const Event& event) {
            std::lock_guard lock(mutex);
            events.push_back(event);
            changed.notify_all();
        }
        bool WaitFor(std::size_t count) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, std::chrono::seconds(10),
                                    [&] { return events.size() >= count; });
        }
    };
};

TEST_F(PublisherTest, ResumeThenLiveMissesNothingAndRepeatsNothing) {
    Journal journal(File());
    Publisher publisher(journal);
    journal.SetPublisher(&publisher);
    journal.Start();
    publisher.Start();
    for (int i = 0; i < 3; ++i)
        Append(journal, "before");
    // Events keep coming from two writers while the subscriber catches up.
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                Append(journal, "during");
            writing = false;
        });
    }
    Seen seen;
    const auto id = publisher.Add(
        1, [&](const Event& event) { seen.Add(event); }, false);
    for (auto& writer : writers)
        writer.join();
    ASSERT_TRUE(seen.WaitFor(202));
    std::lock_guard lock(seen.mutex);
    ASSERT_EQ(seen.events.size(), 202u);
    for (std::size_t i = 0; i < seen.events.size(); ++i) {
        EXPECT_EQ(seen.events[i].sequence, static_cast<Sequence>(i) + 2);
    }
    publisher.Remove(id);
}

// Subscribers that join at any moment while events flow, from a point in the past or live
// only: each one sees every event after its start exactly once, in order, whatever it
// joined between.
TEST_F(PublisherTest, SubscribersJoiningWhileEventsFlowSeeEachEventOnceInOrder) {
    Journal journal(File());
    Publisher publisher(journal);
    journal.SetPublisher(&publisher);
    journal.Start();
    publisher.Start();
    constexpr int kEvents = 300;
    std::thread writer([&] {
        for (int i = 0; i < kEvents; ++i)
            Append(journal, "flow");
    });
    struct Joined {
        std::optional<Sequence> after;
        Sequence horizon = 0;  // published before it joined: a live-only one starts there
        Seen seen;
        std::uint64_t id = 0;
    };
    std::vector<std::unique_ptr<Joined>> joined;
    for (int i = 0; i < 40; ++i) {
        auto one = std::make_unique<Joined>();
        if (i % 2 == 0)
            one->after = i * 3;
        one->horizon = publisher.Published();
        Joined* raw = one.get();
        one->id = publisher.Add(
            one->after, [raw](const Event& event) { raw->seen.Add(event); }, false);
        joined.push_back(std::move(one));
        std::this_thread::yield();
    }
    writer.join();
    while (publisher.Published() < kEvents)
        std::this_thread::yield();  // every event handed out, to the live-only ones too
    for (auto& one : joined) {
        if (one->after) {
            ASSERT_TRUE(one->seen.WaitFor(static_cast<std::size_t>(kEvents - *one->after)));
        }
        publisher.Remove(one->id);
    }
    publisher.Stop();
    for (auto& one : joined) {
        std::lock_guard lock(one->seen.mutex);
        const std::vector<Event>& events = one->seen.events;
        if (one->after) {
            ASSERT_EQ(events.size(), static_cast<std::size_t>(kEvents - *one->after));
        } else {
            ASSERT_FALSE(events.empty() && events.front().sequence <= one->horizon);
        }
        for (std::size_t i = 1; i < events.size(); ++i)
            ASSERT_EQ(events[i].sequence, events[i - 1].sequence + 1) << "after " << i;
        if (!events.empty() && one->after) {
            EXPECT_EQ(events.front().sequence, *one->after + 1);
        }
        if (!events.empty()) {
            EXPECT_EQ(events.back().sequence, kEvents);
        }
    }
}

TEST_F(PublisherTest, LiveOnlyProgressOnlyWhenAskedAndNothingAfterCancel) {
    Journal journal(File());
    Publisher publisher(journal);
    journal.SetPublisher(&publisher);
    journal.Start();
    publisher.Start();
    Append(journal, "old");
    while (publisher.Published() < 1)
        std::this_thread::yield();  // handed out before we join
    Seen all;
    Seen journaled;
    const auto allId = publisher.Add(
        std::nullopt, [&](const Event& e) { all.Add(e); }, true);
    const auto journaledId = publisher.Add(
        std::nullopt, [&](const Event& e) { journaled.Add(e); }, false);
    publisher.PublishLive(Event{0, "fill-progress", At(), {}});
    Append(journal, "new");
    ASSERT_TRUE(all.WaitFor(2));
    ASSERT_TRUE(journaled.WaitFor(1));
    EXPECT_EQ(all.events[0].type, "fill-progress");
    EXPECT_EQ(all.events[1].type, "new");
    EXPECT_EQ(journaled.events.size(), 1u);
    EXPECT_EQ(journaled.events[0].type, "new");

    publisher.Remove(allId);
    publisher.Remove(journaledId);
    Append(journal, "after");
    publisher.Stop();  // delivers whatever was queued
    EXPECT_EQ(all.events.size(), 2u);
    EXPECT_EQ(journaled.events.size(), 1u);
}

}  // namespace
}  // namespace fuel::forecourt
