// A station's link to the chain's broker: every journal event out, price commands in.
//
// Out: every journaled event goes to stations/{station}/events/{type} as the journal's event
// JSON (with its sequence number as "id", and "station"), QoS 1, in sequence order. The last
// sequence the broker has acknowledged (every one up to it has had its PUBACK) is kept in
// the journal; after an outage, a restart or a crash the bridge starts again right after it,
// reading from the journal, so the broker gets everything since in order and only then the
// live events. QoS 1 is at-least-once: a message whose PUBACK was lost, or whose
// acknowledgement had not reached the journal when the process died, is sent again, so a
// subscriber drops what it has seen by sequence number. Fill progress (live only, not in
// the journal) is sent only when configured, QoS 0, only while connected and caught up, and
// never repeated: a lost one is superseded by the next.
//
// In: price commands (see Command.h) are applied through Forecourt::SetPrice, as the API
// applies them, with the sender's broker identity as the client and the command's id as the
// idempotency key; the outcome is published on stations/{station}/replies. Replay commands
// (see Replay.h) send a range of the journal again, through the same window as every
// event and after them; they move nothing of the acknowledged position.
//
// Who the station is (Info.h) is retained on stations/{station}/info: published at every
// connection, and again when a price event leaves it different from the last one sent.
//
// The station's state is the retained message on stations/{station}/status: "online" once
// connected, "offline" when the bridge stops, and "offline" as the last will that the broker
// publishes when the station vanishes.
//
// One thread of its own owns the connection. It never blocks a line or the forecourt's
// publisher: the subscription only rings its bell, and events are read from the journal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/BrokerConfig.h"
#include "forecourt/Forecourt.h"

namespace fuel::bridge {

struct BridgeOptions {
    // After a failed or lost connection the next attempt waits this long, doubling up to max.
    std::chrono::milliseconds reconnectMin{250};
    std::chrono::milliseconds reconnectMax{30000};
    // Events published and not yet acknowledged.
    std::size_t window = 64;
    // How long Stop waits for the broker to acknowledge what is on the wire and "offline".
    std::chrono::milliseconds stopGrace{2000};
    // The program's version, as the station's info tells the chain.
    std::string version;
    // Connection changes and errors, one line each (the daemon's log); none when empty.
    std::function<void(const std::string&)> log;
};

struct BridgeStatus {
    bool connected = false;
    forecourt::Sequence acknowledged = 0;  // every event up to it acknowledged by the broker
    forecourt::Sequence stored = 0;        // ... and recorded so in the journal
    std::uint64_t published = 0;           // event messages handed to the broker (also again)
    std::uint64_t connections = 0;         // successful connections so far
    std::uint64_t commands = 0;            // commands received
    std::uint64_t replayed = 0;            // of published: events sent again on request
    std::uint64_t refused = 0;             // events the broker could never take, passed over
    std::string lastMessage;               // the last connection change or error, as logged
};

class Bridge {
  public:
    // The forecourt must have been made with Migrations() among its options' migrations.
    Bridge(forecourt::Forecourt& forecourt, BrokerConfig config, BridgeOptions options = {});
    ~Bridge();  // Stop()
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Reads the published position (throws DatabaseError) and starts the thread; returns at
    // once: the broker may be down, the bridge keeps trying.
    void Start();
    // Sends "offline", waits up to stopGrace for the broker's acknowledgements, records the
    // position and ends the thread. Call before the forecourt stops.
    void Stop();

    // Any thread; after Stop, the state it stopped in.
    BridgeStatus Status() const;

  private:
    class Worker;
    forecourt::Forecourt& forecourt_;
    BrokerConfig config_;
    BridgeOptions options_;
    std::unique_ptr<Worker> worker_;  // kept after Stop for its last status
    bool running_ = false;
};

}  // namespace fuel::bridge
