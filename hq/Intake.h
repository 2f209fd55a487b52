// What the head office receives from the broker, stored: each batch of messages in one
// transaction. A station's journal events go into `events` once each, keyed by station and
// sequence, whatever the broker repeats (the first copy stays); its status and info messages
// update its row in `stations`; the watermark of every station whose events came moves on.
// A message that is not what a station sends is counted, told to the log, and passed over:
// it never holds up the rest of its batch.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hq/Database.h"

namespace fuel::hq {

// One message as the broker delivered it.
struct Message {
    std::string topic;
    std::string payload;
};

struct IntakeReport {
    std::size_t events = 0;     // journal events, well formed
    std::size_t stored = 0;     // of those, new: stored now
    std::size_t repeats = 0;    // already held, or twice in the batch: nothing changed
    std::size_t differing = 0;  // repeats whose content differs from the held one (kept)
    std::size_t live = 0;       // live-only events (no sequence, e.g. fill progress)
    std::size_t statuses = 0;   // status messages taken
    std::size_t infos = 0;      // info messages taken
    std::size_t malformed = 0;  // not what a station sends
    std::size_t other = 0;      // not the intake's (replies, commands, an empty retained)
    // Stations whose watermark passed their applied cursor: events to apply (Apply.h).
    std::vector<std::string> ready;
};

class Intake {
  public:
    using Log = std::function<void(const std::string& line)>;
    explicit Intake(Connection& connection, Log log = {});

    // Stores the batch in one transaction. Throws DatabaseError when it could not (nothing of
    // the batch is stored then: take it again, after a reconnect when the connection was
    // lost); a deadlock with another worker is tried again here first.
    IntakeReport Store(std::span<const Message> batch);

  private:
    IntakeReport StoreOnce(std::span<const Message> batch);
    void Tell(const std::string& line) const;
    Connection& connection_;
    Log log_;
};

}  // namespace fuel::hq
