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
    published_ = journal_.LastSequence();
    worker_.Start([this](Worker<Item>& worker) { Run(worker); });
}

void Publisher::Stop() {
    worker_.Stop();
}

void Publisher::PublishCommitted(std::vector<Event> events) {
    worker_.Post(Item{std::move(events), nullptr});
}

void Publisher::PublishLive(Event event) {
    event.sequence = 0;
    std::vector<Event> one;
    one.push_back(std::move(event));
    worker_.Post(Item{std::move(one), nullptr});
}

std::uint64_t Publisher::Add(std::optional<Sequence> after,
                             std::function<void(const Event&)> callback, bool progress) {
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->callback = std::move(callback);
    subscriber->progress = progress;
    subscriber->resumeAfter = after;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextId_++;
        subscribers_[id] = subscriber;
    }
    // Not live until its turn in the queue: the events queued before it come from the journal.
    if (!worker_.Post(Item{{}, subscriber}))
        subscriber->active = false;
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
    if (worker_.OnWorkerThread()) {
        subscriber->active = false;  // from inside a callback: its own lock is held
        return;
    }
    std::lock_guard calling(subscriber->calling);
    subscriber->active = false;
}

void Publisher::Run(Worker<Item>& worker) {
    for (Item& item : worker.Take(std::nullopt)) {
        if (item.joining) {
            Join(*item.joining);
            continue;
        }
        std::vector<std::shared_ptr<Subscriber>> everyone;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, subscriber] : subscribers_)
                everyone.push_back(subscriber);
        }
        for (const Event& event : item.events) {
            for (auto& subscriber : everyone)
                Deliver(*subscriber, event);
            if (event.Journaled())
                published_ = event.sequence;
        }
    }
}

// Every journaled event queued before the newcomer has been handed out, and is in the
// journal: it reads up to there, and takes the rest live.
void Publisher::Join(Subscriber& subscriber) {
    const Sequence horizon = published_.load();
    subscriber.place = CatchUp(subscriber.resumeAfter.value_or(horizon));
    const EventReader reader = [this](Sequence after, std::size_t limit) {
        return journal_.EventsAfter(after, limit);
    };
    while (subscriber.active && !subscriber.place.Reached(horizon)) {
        std::vector<Event> events;
        try {
            events = subscriber.place.Read(reader, horizon, kCatchUpChunk);
        } catch (const std::exception&) {
            break;  // the journal cannot be read: live events still come
        }
        std::lock_guard calling(subscriber.calling);
        if (subscriber.place.Lost()) {
            // What it missed is no longer kept: it reads the state again, and goes on live.
            if (subscriber.active) {
                try {
                    subscriber.callback(subscriber.place.Reload(horizon));
                } catch (...) {
                }
            }
            break;
        }
        for (const Event& event : events) {
            if (!subscriber.active || !subscriber.place.Accept(event.sequence))
                break;
            try {
                subscriber.callback(event);
            } catch (...) {
                // A subscriber's failure is its own.
            }
        }
    }
    subscriber.place.SkipTo(horizon);
    subscriber.joined = true;
}

void Publisher::Deliver(Subscriber& subscriber, const Event& event) {
    if (!subscriber.joined)
        return;  // its turn in the queue is still to come
    std::lock_guard calling(subscriber.calling);
    if (!subscriber.active)
        return;
    if (!event.Journaled() && !subscriber.progress)
        return;
    if (!subscriber.place.Accept(event.sequence))
        return;
    try {
        subscriber.callback(event);
    } catch (...) {
        // A subscriber's failure is its own; the others still get the event.
    }
}

}  // namespace fuel::forecourt
