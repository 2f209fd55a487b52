// Hands events to subscribers on a thread of its own, so that neither the journal's writer
// nor a poll loop ever waits for a subscriber. Journaled events come from the writer after
// their commit, in sequence order; fill progress comes from the loops.
//
// A new subscriber is queued like the events, and joins where it stands in that queue:
// every journaled event queued before it has been handed out and so is in the journal, and
// every one after it is handed to it live. One that resumes after a sequence number first
// reads the journal up to that point (on the publisher's thread), so nothing is missed and
// nothing repeated.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "forecourt/CatchUp.h"
#include "forecourt/Model.h"
#include "forecourt/Worker.h"

namespace fuel::forecourt {

class Journal;

class Publisher {
  public:
    explicit Publisher(const Journal& journal);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    void Start();
    // Delivers what is queued, then stops.
    void Stop();

    // From the journal's writer: committed events, in sequence order.
    void PublishCommitted(std::vector<Event> events);
    // From a loop: an event that is not stored (sequence 0).
    void PublishLive(Event event);

    std::uint64_t Add(std::optional<Sequence> after, std::function<void(const Event&)> callback,
                      bool progress);
    // No call of the subscriber follows once this returns (from any thread but the
    // publisher's own, where it only marks the subscriber gone).
    void Remove(std::uint64_t id);

    // The highest sequence handed to the subscribers.
    Sequence Published() const { return published_.load(); }

  private:
    struct Subscriber {
        std::function<void(const Event&)> callback;
        bool progress = true;
        std::optional<Sequence> resumeAfter;  // read the journal from there first
        CatchUp place{0};
        bool joined = false;  // publisher's thread: its turn in the queue has come
        std::mutex calling;   // held while its callback runs
        std::atomic<bool> active{true};
    };
    // What the publisher's thread takes in turn: committed or live events, or a newcomer.
    struct Item {
        std::vector<Event> events;
        std::shared_ptr<Subscriber> joining;
    };
    void Run(Worker<Item>& worker);
    void Join(Subscriber& subscriber);
    void Deliver(Subscriber& subscriber, const Event& event);

    const Journal& journal_;
    mutable std::mutex mutex_;  // the subscribers' list
    std::map<std::uint64_t, std::shared_ptr<Subscriber>> subscribers_;
    std::uint64_t nextId_ = 1;
    Worker<Item> worker_;
    std::atomic<Sequence> published_{0};
};

}  // namespace fuel::forecourt
