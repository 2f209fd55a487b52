// The reconciliation of each nozzle over a period, from the journal alone: every totaliser
// reading in the period (at each of our fills' start and end, at start-up, and whenever the
// totals are read) in time order. Between the start and the end of one of our fills the
// totaliser should grow by that fill's volume; between any other two readings it should not
// grow at all. Where it grows by more than the tolerance, fuel ran that no fill of ours
// recorded (a release at the pump, another host, a leak), and the stretch is reported with
// our fills on either side.
#pragma once

#include <optional>

#include "forecourt/Database.h"
#include "forecourt/Forecourt.h"

namespace fuel::forecourt {

Reconciliation Reconcile(Connection& db, const Config& config, Time from, Time to,
                         std::optional<int> fuelPoint, double tolerance);

}  // namespace fuel::forecourt
