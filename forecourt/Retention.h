// What the journal lets go of, and when: events after a set time, but never one a reader
// outside the journal (the broker) has not yet taken; cleared sales and totaliser readings
// after years; idempotency keys after days. Uncleared sales, fills still running and each
// nozzle's last reading stay whatever their age.
//
// The journal's writer runs Step between its jobs, each in a transaction of its own: every
// step deletes at most one batch of rows, so that a job never waits long for one. Rows go
// from the oldest up (events by sequence number), so the events kept are always one run
// with no hole, up to the last, which is never deleted: a reader behind the oldest kept
// finds a gap before what it reads next (forecourt/CatchUp.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "forecourt/Config.h"
#include "forecourt/Database.h"
#include "forecourt/Model.h"

namespace fuel::forecourt {

class Retention {
  public:
    // Rows one step deletes at most; see bench/RetentionBenchmark.cpp for what one costs.
    static constexpr std::size_t kBatch = 500;
    // The last event that a reader outside the journal has safely taken (read on the
    // writer's connection, in the step's transaction): none after it is deleted. nullopt:
    // there is no such reader.
    using HeldEvents = std::function<std::optional<Sequence>(Connection&)>;

    explicit Retention(RetentionConfig config, HeldEvents held = {}, std::size_t batch = kBatch);

    // Deletes one batch of what has expired at `now`, from the first kind of row that still
    // has some this round. True when it deleted something (call again at once); false when
    // the round is over, and the next call begins a new one.
    bool Step(Connection& db, Time now);

    struct Deleted {
        std::uint64_t events = 0;
        std::uint64_t sales = 0;  // fills: cleared sales and cancelled fills
        std::uint64_t readings = 0;
        std::uint64_t requests = 0;
    };
    const Deleted& Totals() const { return deleted_; }

  private:
    int DeleteEvents(Connection& db, Time now);
    int DeleteSales(Connection& db, Time now);
    int DeleteReadings(Connection& db, Time now);
    int DeleteRequests(Connection& db, Time now);

    RetentionConfig config_;
    HeldEvents held_;
    std::int64_t batch_;
    int kind_ = 0;  // the kind of row this round has reached
    Deleted deleted_;
};

}  // namespace fuel::forecourt
