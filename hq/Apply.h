// What the head office derives from each station's events: its sales (state, lock, clear),
// its fuel points' states, its prices per grade, and its own alarms. Applied per station in
// sequence order from its applied cursor up to its watermark, never past a gap, each event
// once. Every derived row is the latest event of its key (a sale's every change is an event
// with the whole sale, and so a fuel point's and a price's), so that applying a range at once
// leaves the same as applying its events one by one: the derived tables equal a replay of
// the journal.
//
// Two workers never apply one station at once: each takes a transaction-level advisory lock
// on the station (pg_try_advisory_xact_lock) and passes over a station whose lock another
// holds. An advisory lock rather than the station's row: the intake holds the rows of the
// stations it stores, and an applier must neither wait for it nor make it wait for a whole
// apply; the lock goes with the transaction, also when the worker dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "hq/Database.h"

namespace fuel::hq {

struct ApplyReport {
    std::size_t stations = 0;  // stations that had events to apply and were applied
    std::size_t events = 0;    // events applied
    std::size_t sales = 0;     // sale rows written
    std::size_t fuelPoints = 0;
    std::size_t prices = 0;
    std::size_t alarms = 0;               // alarms raised
    std::vector<std::string> busy;        // passed over: another worker applies them now
    std::vector<std::string> unfinished;  // more to apply than `limit` allowed: call again
};

// Applies these stations' events up to their watermarks, at most `limit` events per
// station, in one transaction.
ApplyReport Apply(Connection& connection, std::span<const std::string> stations,
                  std::int64_t limit = 10'000);

// The stations whose watermark stands past their applied cursor, at most `limit`: what a
// worker applies after a restart, or what another worker left behind when it died.
std::vector<std::string> StationsToApply(Connection& connection, int limit = 1000);

}  // namespace fuel::hq
