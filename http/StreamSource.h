// Where the event streams (Server-Sent Events and WebSocket sessions alike) get their
// events: the daemon's own fan-out, behind this interface, so that the sessions know nothing
// of what the events are or where they come from.
//
// A stream joins with where it starts and a wake; it then takes batch after batch, writing
// each before it takes the next, until a batch is live and empty: then it waits for the
// wake. It leaves when its connection ends. A subscriber that falls too far behind is dropped
// by the source, with a reason its last batch carries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/Message.h"

namespace fuel::http {

// One event, formatted once for every stream.
struct StreamEvent {
    std::int64_t sequence = 0;  // 0: none, a transient event that cannot be resumed from
    std::string type;
    std::string json;  // the event as one line of JSON
};
using EventPointer = std::shared_ptr<const StreamEvent>;

struct StreamBatch {
    std::vector<EventPointer> events;
    bool live = false;  // nothing more to read now: wait for the wake
    // The subscriber is out, and why: "left" (it left), "too-slow" (it fell behind) ...
    std::optional<std::string> dropped;
};

class StreamSubscription {
  public:
    virtual ~StreamSubscription() = default;
    // What to write next, in order. Call it again when those are written.
    virtual StreamBatch Take() = 0;
    // The stream is over; Take answers "left" from now on. Twice is harmless.
    virtual void Leave() = 0;
};

class StreamSource {
  public:
    virtual ~StreamSource() = default;
    // wake is called (from any thread, with no lock of the source's held) when a live
    // subscriber has something to take after an empty batch, or has been dropped.
    virtual std::shared_ptr<StreamSubscription> Join(const StreamStart& start,
                                                     std::function<void()> wake) = 0;
};

}  // namespace fuel::http
