// The fan-out of events: resume from a journal (here a list in memory that every event is
// added to before the hub hears of it, as the real journal commits before it publishes),
// the switch from the journal to live, fill progress, and clients too slow to keep up.
#include "server/EventHub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <optional>
#include <random>
#include <thread>

namespace fuel::server {
namespace {

using forecourt::Event;
using forecourt::Sequence;

class FakeJournal {
  public:
    // Commits the next event and hands it to the hub.
    void Commit(EventHub& hub) {
        Event event;
        {
            std::lock_guard lock(mutex_);
            event = {static_cast<Sequence>(events_.size()) + 1,
                     "fuel-point",
                     {},
                     {{"n", events_.size() + 1}}};
            events_.push_back(event);
        }
        hub.Publish(event);
    }
    // Commits without telling the hub yet (an event on its way to the publisher).
    Event CommitQuietly() {
        std::lock_guard lock(mutex_);
        Event event{static_cast<Sequence>(events_.size()) + 1, "sale", {}, {}};
        events_.push_back(event);
        return event;
    }
    // The retention lets go of every event up to `last`.
    void LetGoUpTo(Sequence last) {
        std::lock_guard lock(mutex_);
        keptAfter_ = last;
    }
    EventHub::JournalReader Reader() {
        return [this](Sequence after, std::size_t limit) {
            std::lock_guard lock(mutex_);
            ++reads;
            std::vector<Event> found;
            for (const Event& event : events_) {
                if (event.sequence > std::max(after, keptAfter_) && found.size() < limit)
                    found.push_back(event);
            }
            return found;
        };
    }
    std::atomic<int> reads{0};

  private:
    std::mutex mutex_;
    std::vector<Event> events_;
    Sequence keptAfter_ = 0;
};

Event Progress() {
    return {0, "fill-progress", {}, {{"volume", 1.5}}};
}

std::vector<Sequence> Sequences(const EventHub::Batch& batch) {
    std::vector<Sequence> sequences;
    for (const EventPointer& event : batch.events)
        sequences.push_back(event->sequence);
    return sequences;
}

std::vector<Sequence> Range(Sequence first, Sequence last) {
    std::vector<Sequence> range;
    for (Sequence s = first; s <= last; ++s)
        range.push_back(s);
    return range;
}

// Takes until the client is live, as a session does.
std::vector<Sequence> CatchUp(EventHub& hub, EventClient& client) {
    std::vector<Sequence> seen;
    while (true) {
        const EventHub::Batch batch = hub.Take(client);
        for (const Sequence s : Sequences(batch))
            seen.push_back(s);
        if (batch.live || batch.dropped)
            return seen;
    }
}

TEST(EventHubTest, FormatsAnEventOnceAsTheClientsReadIt) {
    const EventPointer event = Format({7, "sale", {}, {{"id", 3}}});
    EXPECT_EQ(event->sequence, 7);
    EXPECT_EQ(event->type, "sale");
    EXPECT_EQ(event->json,
              R"({"at":"1970-01-01T00:00:00.000Z","data":{"id":3},"id":7,"type":"sale"})");
    EXPECT_EQ(Format(Progress())->json.find(R"("id":null)") != std::string::npos, true);
}

TEST(EventHubTest, ResumesFromTheRingWhenItReachesBackFarEnough) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0, HubSettings{8, 100, 256});
    for (int i = 0; i < 10; ++i)
        journal.Commit(hub);  // the ring holds 3..10
    const auto client = hub.Join(5, true, [] {});
    const EventHub::Batch batch = hub.Take(*client);
    EXPECT_EQ(Sequences(batch), Range(6, 10));
    EXPECT_TRUE(batch.live);
    EXPECT_EQ(journal.reads, 0);
    journal.Commit(hub);
    EXPECT_EQ(Sequences(hub.Take(*client)), Range(11, 11));
    hub.Leave(*client);
}

TEST(EventHubTest, ResumesFromTheJournalInBatchesThenFromTheRingWithoutRepeats) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0, HubSettings{4, 100, 3});
    for (int i = 0; i < 20; ++i)
        journal.Commit(hub);  // the ring holds 17..20
    const auto client = hub.Join(1, true, [] {});
    EXPECT_EQ(CatchUp(hub, *client), Range(2, 20));
    EXPECT_GT(journal.reads, 1);
    journal.Commit(hub);
    EXPECT_EQ(Sequences(hub.Take(*client)), Range(21, 21));
    hub.Leave(*client);
}

// Behind what the journal keeps and behind the ring: a reload, in place of the events it
// cannot have, whose id is where the stream goes on; then live events. A client just at the
// oldest kept misses nothing and hears no reload.
TEST(EventHubTest, TellsAClientBehindWhatIsKeptToReloadInsteadOfSkippingAhead) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0, HubSettings{2, 100, 4});
    for (int i = 0; i < 12; ++i)
        journal.Commit(hub);  // the ring holds 11, 12
    journal.LetGoUpTo(5);
    struct Case {
        Sequence after;
        std::vector<Sequence> read;
        std::optional<nlohmann::json> reload;
        Sequence next;
    };
    const Case cases[] = {
        {2, {12}, nlohmann::json{{"after", 2}, {"oldest", 6}}, 13},
        {5, Range(6, 13), std::nullopt, 14},  // 13 came after the first client
    };
    for (const Case& c : cases) {
        const auto client = hub.Join(c.after, true, [] {});
        std::vector<EventPointer> read;
        while (true) {
            const EventHub::Batch batch = hub.Take(*client);
            read.insert(read.end(), batch.events.begin(), batch.events.end());
            if (batch.live || batch.dropped)
                break;
        }
        std::vector<Sequence> sequences;
        std::vector<nlohmann::json> reloads;
        for (const EventPointer& event : read) {
            sequences.push_back(event->sequence);
            if (event->type == "reload")
                reloads.push_back(nlohmann::json::parse(event->json)["data"]);
        }
        EXPECT_EQ(sequences, c.read) << "after " << c.after;
        if (c.reload) {
            ASSERT_EQ(reloads.size(), 1u);
            EXPECT_EQ(read.front()->type, "reload");
            EXPECT_EQ(reloads[0], *c.reload);
        } else {
            EXPECT_TRUE(reloads.empty());
        }
        journal.Commit(hub);
        EXPECT_EQ(Sequences(hub.Take(*client)), std::vector<Sequence>{c.next});
        hub.Leave(*client);
    }
}

TEST(EventHubTest, GivesAClientWithoutAStartOnlyNewEvents) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0);
    for (int i = 0; i < 5; ++i)
        journal.Commit(hub);
    int wakes = 0;
    const auto client = hub.Join(std::nullopt, true, [&] { ++wakes; });
    EXPECT_TRUE(hub.Take(*client).events.empty());
    journal.Commit(hub);
    journal.Commit(hub);
    EXPECT_EQ(wakes, 1) << "woken once until it takes";
    EXPECT_EQ(Sequences(hub.Take(*client)), Range(6, 7));
    hub.Leave(*client);
}

// The journal may hold events the hub has not heard of yet (committed, on their way): a
// client that resumes after one of them, or reads the journal while they are on their way
// (up to the hub's last, the rest then live), must neither miss what follows nor get it
// twice.
TEST(EventHubTest, ResumesAroundEventsTheHubHasNotSeenYet) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0, HubSettings{1, 100, 256});
    for (int i = 0; i < 3; ++i)
        journal.Commit(hub);  // the ring holds 3
    const Event fourth = journal.CommitQuietly();
    const Event fifth = journal.CommitQuietly();
    const auto ahead = hub.Join(4, true, [] {});
    EXPECT_TRUE(CatchUp(hub, *ahead).empty());
    const auto behind = hub.Join(1, true, [] {});
    EXPECT_EQ(CatchUp(hub, *behind), Range(2, 3)) << "read from the journal, up to the hub";
    hub.Publish(fourth);
    hub.Publish(fifth);
    journal.Commit(hub);
    EXPECT_EQ(Sequences(hub.Take(*ahead)), Range(5, 6));
    EXPECT_EQ(Sequences(hub.Take(*behind)), Range(4, 6));
    hub.Leave(*ahead);
    hub.Leave(*behind);
}

TEST(EventHubTest, SendsProgressOnlyToLiveClientsThatWantItWithoutMovingTheirPlace) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0);
    const auto wants = hub.Join(std::nullopt, true, [] {});
    const auto declines = hub.Join(std::nullopt, false, [] {});
    journal.Commit(hub);
    hub.Publish(Progress());
    journal.Commit(hub);
    EXPECT_EQ(Sequences(hub.Take(*wants)), (std::vector<Sequence>{1, 0, 2}));
    EXPECT_EQ(Sequences(hub.Take(*declines)), (std::vector<Sequence>{1, 2}));
    EXPECT_EQ(hub.Published(), 3u);
    hub.Leave(*wants);
    hub.Leave(*declines);
}

TEST(EventHubTest, DropsAClientThatFallsBehindWithoutHoldingUpTheOthers) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0, HubSettings{16, 4, 256});
    int slowWakes = 0;
    const auto slow = hub.Join(std::nullopt, true, [&] { ++slowWakes; });
    const auto quick = hub.Join(std::nullopt, true, [] {});
    std::vector<Sequence> quickSaw;
    for (int i = 0; i < 10; ++i) {
        journal.Commit(hub);
        for (const Sequence s : Sequences(hub.Take(*quick)))
            quickSaw.push_back(s);
    }
    EXPECT_EQ(quickSaw, Range(1, 10));
    const EventHub::Batch batch = hub.Take(*slow);
    ASSERT_TRUE(batch.dropped.has_value());
    EXPECT_EQ(*batch.dropped, "too-slow");
    EXPECT_TRUE(batch.events.empty()) << "its queue is freed at once";
    EXPECT_EQ(slowWakes, 1);
    EXPECT_EQ(hub.Dropped(), 1u);
    EXPECT_EQ(hub.LiveClients(), 1u);
    hub.Leave(*slow);
    hub.Leave(*quick);
}

TEST(EventHubTest, ForgetsAClientThatLeft) {
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0);
    {
        const auto client = hub.Join(std::nullopt, true, [] {});
        EXPECT_EQ(hub.LiveClients(), 1u);
        hub.Leave(*client);
        EXPECT_EQ(*hub.Take(*client).dropped, "left");
    }
    EXPECT_EQ(hub.LiveClients(), 0u);
    journal.Commit(hub);  // would touch the freed client if the hub still knew it
}

// Clients join at random places while events are committed and published from another
// thread: each sees every event after its start exactly once, in order.
TEST(EventHubTest, SwitchesFromJournalToLiveUnderLoadWithoutGapsOrRepeats) {
    constexpr Sequence kEvents = 5000;
    constexpr int kClients = 20;
    FakeJournal journal;
    EventHub hub(journal.Reader(), 0, HubSettings{64, 1000000, 50});
    std::atomic<Sequence> committed{0};
    std::thread publisher([&] {
        for (Sequence i = 0; i < kEvents; ++i) {
            journal.Commit(hub);
            committed = i + 1;
            if (i % 100 == 0)
                std::this_thread::yield();
        }
    });
    std::vector<std::thread> clients;
    std::vector<std::vector<Sequence>> seen(kClients);
    std::vector<Sequence> starts(kClients);
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::mt19937 random(static_cast<unsigned>(c));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            const Sequence start =
                committed.load() == 0
                    ? 0
                    : static_cast<Sequence>(random() %
                                            static_cast<std::uint64_t>(committed.load()));
            starts[static_cast<std::size_t>(c)] = start;
            const auto client = hub.Join(start, true, [] {});
            auto& mine = seen[static_cast<std::size_t>(c)];
            while (mine.empty() || mine.back() < kEvents) {
                const EventHub::Batch batch = hub.Take(*client);
                ASSERT_FALSE(batch.dropped.has_value());
                for (const Sequence s : Sequences(batch))
                    mine.push_back(s);
                if (batch.events.empty())
                    std::this_thread::yield();
            }
            hub.Leave(*client);
        });
    }
    publisher.join();
    for (std::thread& client : clients)
        client.join();
    for (int c = 0; c < kClients; ++c) {
        SCOPED_TRACE("client " + std::to_string(c));
        EXPECT_EQ(seen[static_cast<std::size_t>(c)],
                  Range(starts[static_cast<std::size_t>(c)] + 1, kEvents));
    }
}

}  // namespace
}  // namespace fuel::server
