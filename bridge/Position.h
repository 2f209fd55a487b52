// How far a station's events have reached the broker: the last sequence number the broker
// has acknowledged (PUBACK), kept per station id in the forecourt's journal, in a table of
// the bridge's own. Written only through the journal's single writer.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "forecourt/Journal.h"
#include "forecourt/Model.h"

namespace fuel::bridge {

// The bridge's tables, for forecourt::Options::migrations.
std::vector<forecourt::Migration> Migrations();

// 0 when nothing of this station has been published yet. Throws DatabaseError (also when
// the journal was opened without Migrations()).
forecourt::Sequence ReadPosition(const forecourt::Journal& journal, const std::string& station);

// The same, on a connection the caller holds (the retention's, inside its transaction):
// what the journal may let go of is read where it is deleted.
forecourt::Sequence ReadPosition(forecourt::Connection& db, const std::string& station);

// What the journal's retention must keep for the station's broker (forecourt::Options::
// heldEvents): every event after the position the broker has acknowledged.
std::function<std::optional<forecourt::Sequence>(forecourt::Connection&)> HeldForBroker(
    std::string station);

// Records `sequence` as published, on the journal's writer; done(error) after the commit.
// A position never goes back: an older one than the stored is ignored.
void WritePosition(forecourt::Journal& journal, const std::string& station,
                   forecourt::Sequence sequence, std::function<void(std::exception_ptr)> done);

}  // namespace fuel::bridge
