// Hands events to subscribers on a thread of its own, so that neither the journal's writer
// nor a poll loop ever waits for a subscriber. Journaled events come from the writer after
// their commit, in sequence order; fill progress comes from the loops. A subscriber that
// resumes after a sequence number first gets the journal's events up to what has been
// handed out live, read from the database on this thread, then the live ones: the switch
// happens between two events on one thread, so nothing is missed and nothing repeated.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "forecourt/Model.h"

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
        std::optional<Sequence> resumeAfter;  // catch up from the journal first
        Sequence delivered = 0;
        std::mutex calling;  // held while its callback runs
        std::atomic<bool> active{true};
    };
    void Run();
    void CatchUp(Subscriber& subscriber);
    void Deliver(Subscriber& subscriber, const Event& event);

    const Journal& journal_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> queue_;
    std::map<std::uint64_t, std::shared_ptr<Subscriber>> subscribers_;
    std::vector<std::shared_ptr<Subscriber>> joining_;
    std::uint64_t nextId_ = 1;
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;
    std::atomic<Sequence> published_{0};
};

}  // namespace fuel::forecourt
