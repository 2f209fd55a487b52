#include "forecourt/Publisher.h"

#include "forecourt/Journal.h"

namespace fuel::forecourt {
namespace {

// Events read from the journal at a time while a subscriber catches up.
constexpr std::size_t kCatchUpChunk = 500;

}  // namespace

Publisher::Publisher(const Journal& journal) : journal_(journal) {}

Publisher::~Publisher() {
    Stop();
}

void Publisher::Start() {
    std::lock_guard lock(mutex_);
    if (running_)
        return;
    published_ = journal_.LastSequence();
    running_ = true;
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

void Publisher::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
}

void Publisher::PublishCommitted(std::vector<Event> events) {
    {
        std::lock_guard lock(mutex_);
        for (Event& event : events) {
            queue_.push_back(std::move(event));
        }
    }
    wake_.notify_one();
}

void Publisher::PublishLive(Event event) {
    event.sequence = 0;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(event));
    }
    wake_.notify_one();
}

std::uint64_t Publisher::Add(std::optional<Sequence> after,
                             std::function<void(const Event&)> callback, bool progress) {
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->callback = std::move(callback);
    subscriber->progress = progress;
    subscriber->resumeAfter = after;
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextId_++;
    joining_.push_back(subscriber);
    subscribers_[id] = std::move(subscriber);
    wake_.notify_one();
    return id;
}

void Publisher::Remove(std::uint64_t id) {
    std::shared_ptr<Subscriber> subscriber;
    {
        std::lock_guard lock(mutex_);
        const auto found = subscribers_.find(id);
        if (found == subscribers_.end())
            return;
        subscriber = found->second;
        subscribers_.erase(found);
    }
    if (std::this_thread::get_id() == thread_.get_id()) {
        subscriber->active = false;  // from inside a callback: its own lock is held
        return;
    }
    std::lock_guard calling(subscriber->calling);
    subscriber->active = false;
}

void Publisher::Run() {
    for (;;) {
        std::deque<Event> events;
        std::vector<std::shared_ptr<Subscriber>> joining;
        std::vector<std::shared_ptr<Subscriber>> everyone;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty() || !joining_.empty(); });
            if (stopping_ && queue_.empty() && joining_.empty())
                return;
            events.swap(queue_);
            joining.swap(joining_);
        }
        // Newcomers first: every event up to what has been handed out live is in the
        // journal, and every later one is in `events` or still to come.
        for (auto& subscriber : joining) {
            CatchUp(*subscriber);
        }
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, subscriber] : subscribers_) {
                everyone.push_back(subscriber);
            }
        }
        for (const Event& event : events) {
            for (auto& subscriber : everyone) {
                Deliver(*subscriber, event);
            }
            if (event.Journaled()) {
                published_ = event.sequence;
            }
        }
    }
}

void Publisher::CatchUp(Subscriber& subscriber) {
    const Sequence upTo = published_.load();
    if (!subscriber.resumeAfter) {
        subscriber.delivered = upTo;
        return;
    }
    subscriber.delivered = *subscriber.resumeAfter;
    while (subscriber.active && subscriber.delivered < upTo) {
        std::vector<Event> events;
        try {
            events = journal_.EventsAfter(subscriber.delivered, kCatchUpChunk);
        } catch (const std::exception&) {
            return;  // the journal cannot be read: live events still come
        }
        if (events.empty())
            return;
        for (const Event& event : events) {
            if (event.sequence > upTo)
                return;
            Deliver(subscriber, event);
        }
    }
}

void Publisher::Deliver(Subscriber& subscriber, const Event& event) {
    std::lock_guard calling(subscriber.calling);
    if (!subscriber.active)
        return;
    if (event.Journaled()) {
        if (event.sequence <= subscriber.delivered)
            return;
        subscriber.delivered = event.sequence;
    } else if (!subscriber.progress) {
        return;
    }
    try {
        subscriber.callback(event);
    } catch (...) {
        // A subscriber's failure is its own; the others still get the event.
    }
}

}  // namespace fuel::forecourt
