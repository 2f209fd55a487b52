#include "server/EventHub.h"

#include <algorithm>

namespace fuel::server {

EventPointer Format(const forecourt::Event& event) {
    auto formatted = std::make_shared<StreamEvent>();
    formatted->sequence = event.sequence;
    formatted->type = event.type;
    formatted->json = forecourt::JsonText(forecourt::ToJson(event));
    return formatted;
}

EventHub::EventHub(JournalReader reader, forecourt::Sequence horizon, HubSettings settings)
    : reader_(std::move(reader)), settings_(settings), horizon_(horizon) {}

void EventHub::Publish(const forecourt::Event& event) {
    const EventPointer formatted = Format(event);
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard lock(mutex_);
        ++published_;
        const bool journaled = event.Journaled();
        if (journaled) {
            if (event.sequence <= horizon_)
                return;  // already had it
            horizon_ = event.sequence;
            ring_.push_back(formatted);
            if (ring_.size() > settings_.ring)
                ring_.pop_front();
        }
        for (EventClient* client : live_) {
            if (client->dropped_)
                continue;
            if (journaled ? !client->place_.Accept(event.sequence) : !client->progress_)
                continue;
            if (client->queue_.size() >= settings_.queue) {
                client->queue_.clear();
                client->dropped_ = "too-slow";
                ++dropped_;
            } else {
                client->queue_.push_back(formatted);
            }
            if (!client->wakePending_) {
                client->wakePending_ = true;
                wakes.push_back(client->wake_);
            }
        }
        // A dropped client leaves the live set at once; its queue is already freed.
        live_.erase(
            std::remove_if(live_.begin(), live_.end(),
                           [](EventClient* client) { return client->dropped_.has_value(); }),
            live_.end());
    }
    for (const auto& wake : wakes)
        wake();
}

std::shared_ptr<EventClient> EventHub::Join(std::optional<forecourt::Sequence> after, bool progress,
                                            std::function<void()> wake) {
    auto client = std::make_shared<EventClient>();
    client->hub_ = this;
    client->progress_ = progress;
    client->wake_ = std::move(wake);
    std::lock_guard lock(mutex_);
    if (after) {
        client->place_ = forecourt::CatchUp(*after);
    } else {
        client->place_ = forecourt::CatchUp(horizon_);
        client->live_ = true;
        live_.push_back(client.get());
    }
    return client;
}

void EventHub::Leave(EventClient& client) {
    std::lock_guard lock(mutex_);
    client.left_ = true;
    client.queue_.clear();
    live_.erase(std::remove(live_.begin(), live_.end(), &client), live_.end());
}

void EventHub::GoLive(EventClient& client, Batch& batch) {
    for (const EventPointer& event : ring_) {
        if (client.place_.Accept(event->sequence))
            batch.events.push_back(event);
    }
    client.place_.SkipTo(horizon_);
    client.live_ = true;
    live_.push_back(&client);
    batch.live = true;
}

EventHub::Batch EventHub::Take(EventClient& client) {
    Batch batch;
    forecourt::CatchUp place(0);
    forecourt::Sequence horizon = 0;
    {
        std::lock_guard lock(mutex_);
        if (client.left_) {
            batch.dropped = "left";
            return batch;
        }
        if (client.dropped_) {
            batch.dropped = client.dropped_;
            return batch;
        }
        if (client.live_) {
            client.wakePending_ = false;
            batch.events.assign(client.queue_.begin(), client.queue_.end());
            client.queue_.clear();
            batch.live = true;
            return batch;
        }
        const bool ringReaches =
            !ring_.empty() && ring_.front()->sequence <= client.place_.Position() + 1;
        if (client.place_.Reached(horizon_) || ringReaches) {
            GoLive(client, batch);
            return batch;
        }
        place = client.place_;
        horizon = horizon_;
    }
    // Behind the ring: the journal holds every event up to the horizon (each is committed
    // before the hub hears of it). Read outside the lock, so that the live clients never wait.
    const std::vector<forecourt::Event> events =
        place.Read(reader_, horizon, settings_.journalBatch);
    std::lock_guard lock(mutex_);
    if (client.left_) {
        batch.dropped = "left";
        return batch;
    }
    for (const forecourt::Event& event : events) {
        if (!place.Lost() && client.place_.Accept(event.sequence))
            batch.events.push_back(Format(event));
    }
    if (place.Lost()) {
        // What the client missed is no longer in the journal: it is told to read the state
        // again, in place of the events it cannot have, and goes on live.
        const forecourt::Event reload = place.Reload(horizon_);
        client.place_.SkipTo(reload.sequence);
        batch.events.clear();
        batch.events.push_back(Format(reload));
        GoLive(client, batch);
    }
    return batch;
}

std::size_t EventHub::LiveClients() const {
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::uint64_t EventHub::Published() const {
    std::lock_guard lock(mutex_);
    return published_;
}

std::uint64_t EventHub::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

}  // namespace fuel::server
