// The fan-out of the forecourt's events to every connected stream (Server-Sent Events and
// WebSocket clients alike).
//
// The hub holds one subscription to the forecourt, formats each event once, keeps the most
// recent journaled ones in a ring, and hands them to each live client's bounded queue. A
// client that resumes after an event (Last-Event-ID, ?since=N) is fed from the journal in
// batches, on its own session's thread, as fast as it takes them, until it reaches the
// ring; it then joins the live clients under the same lock that the events arrive under, so
// that no event falls between the journal and the live stream and none comes twice.
//
// A client whose queue is full is dropped with a reason, and its queue freed: the lines and
// the other clients never wait for it, and it resumes from the last id it received.
//
// The hub is the HTTP stack's stream source (http/StreamSource.h): the event streams join it
// and take their batches through that interface.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "forecourt/CatchUp.h"
#include "forecourt/Model.h"
#include "http/StreamSource.h"

namespace fuel::server {

// One event, formatted once for every client: sequence 0 for live fill progress, not kept in
// the journal; json {"id", "type", "at", "data"} on one line.
using StreamEvent = http::StreamEvent;
using EventPointer = http::EventPointer;
EventPointer Format(const forecourt::Event& event);

class EventClient;

struct HubSettings {
    std::size_t ring = 1024;         // recent journaled events kept for resuming clients
    std::size_t queue = 4096;        // events a live client may have waiting
    std::size_t journalBatch = 256;  // events read from the journal at a time
};

class EventHub : public http::StreamSource {
  public:
    using JournalReader = forecourt::EventReader;

    // `horizon`: the last journaled event before the hub's subscription starts (Publish then
    // receives every one after it).
    EventHub(JournalReader reader, forecourt::Sequence horizon, HubSettings settings = {});

    // From the forecourt's subscription, in the journal's order: never blocks on a client.
    void Publish(const forecourt::Event& event);

    // A new client: after a sequence number (it is fed from the journal first) or live only.
    // wake is called (from any thread, with no lock held) when a live client's queue gets its
    // first event after a Take, or when it is dropped.
    std::shared_ptr<EventClient> Join(std::optional<forecourt::Sequence> after, bool progress,
                                      std::function<void()> wake);
    // A stream's join: after its start, with the fill progress when it is to have the
    // transient events.
    std::shared_ptr<http::StreamSubscription> Join(const http::StreamStart& start,
                                                   std::function<void()> wake) override;
    void Leave(EventClient& client);

    // events; live: nothing more to read from the journal, wait for wake; dropped: the client
    // is out, and why.
    using Batch = http::StreamBatch;
    // What the client has to write next, in order: its queue when live, else the next events
    // from the journal (read on the caller's thread). Call it again when those are written.
    Batch Take(EventClient& client);

    std::size_t LiveClients() const;
    std::uint64_t Published() const;  // events received, progress too
    std::uint64_t Dropped() const;    // clients dropped for falling behind

  private:
    void GoLive(EventClient& client, Batch& batch);  // with mutex_ held

    JournalReader reader_;
    HubSettings settings_;
    mutable std::mutex mutex_;
    forecourt::Sequence horizon_;
    std::deque<EventPointer> ring_;
    std::vector<EventClient*> live_;
    std::uint64_t published_ = 0;
    std::uint64_t dropped_ = 0;
};

// A client's place in the hub; its fields belong to the hub's lock.
class EventClient : public http::StreamSubscription {
  public:
    http::StreamBatch Take() override { return hub_->Take(*this); }
    void Leave() override { hub_->Leave(*this); }

  private:
    friend class EventHub;
    EventHub* hub_ = nullptr;
    forecourt::CatchUp place_{0};  // the last journaled event handed out
    bool progress_ = true;
    bool live_ = false;
    bool left_ = false;
    bool wakePending_ = false;
    std::deque<EventPointer> queue_;
    std::optional<std::string> dropped_;
    std::function<void()> wake_;
};

inline std::shared_ptr<http::StreamSubscription> EventHub::Join(const http::StreamStart& start,
                                                                std::function<void()> wake) {
    return Join(start.after, start.transient, std::move(wake));
}

}  // namespace fuel::server
