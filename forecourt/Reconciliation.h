// The reconciliation of each nozzle over a period, from the journal alone. A nozzle's
// totaliser has figures in the journal: each of our fills' start and end, and the readings
// (at start-up, whenever the totals are read, and where it went back). Between the start
// and the end of one of our fills it should grow by that fill's volume; between any other
// two figures it should not grow at all. A reading taken while one of our fills ran says
// nothing the fill's own two do not, and is left out.
//
// The summary of a period takes its first and last figure and the sum of the sales between
// them, each from an index: a year costs a few lookups and one pass over an index per
// nozzle, never a read of every figure. Where the totaliser went back (a reset reading),
// the fall is a new baseline, not fuel. The stretches where the figures disagree, with our
// fills on either side, are found by walking the figures in order, a bounded page at a time.
#pragma once

#include <optional>

#include "forecourt/Database.h"
#include "forecourt/Forecourt.h"

namespace fuel::forecourt {

Reconciliation Reconcile(Connection& db, const Config& config, Time from, Time to,
                         std::optional<int> fuelPoint, double tolerance);

// request.to and request.tolerance set. nullopt: the cursor names no figure of the nozzle.
std::optional<DiscrepancyPage> Discrepancies(Connection& db, const DiscrepancyRequest& request);

// How many figures one page looks at before it answers with what it found and a cursor.
inline constexpr std::size_t kFiguresPerPage = 10'000;

}  // namespace fuel::forecourt
