// Per station, the highest sequence up to which every event is held: the watermark. It moves
// on from where it stood over the events just stored; only a station that had a gap has its
// events above the watermark read again, never a station's whole journal. Where it stops below a
// held event there is a gap; a gap that stays open is asked for again (a replay command), and when
// it was asked is kept in the station's row, so that any worker, after any restart, asks again only
// when it is due.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "hq/Database.h"

namespace fuel::hq {

// A station as the transaction that holds its row found it.
struct Stood {
    std::int64_t watermark = 0;
    bool gapOpen = false;  // events were held above the watermark
};

// Moves the watermarks of these stations on over the sequences just stored, inside the
// caller's transaction, which holds their rows (as the intake does). `received` is the
// highest sequence that came of each station, stored or a repeat: its row records it and the
// time in the same write, so that an intake writes each station's row once. Returns the
// stations whose watermark then stands past their applied cursor.
std::vector<std::string> AdvanceWatermarks(
    Connection& connection, const std::map<std::string, Stood>& stood,
    const std::map<std::string, std::vector<std::int64_t>>& stored,
    const std::map<std::string, std::int64_t>& received = {});

struct Gap {
    std::string station;
    std::int64_t from = 0;  // the first missing sequence
    std::int64_t to = 0;    // the last, included
    bool operator==(const Gap&) const = default;
};

struct GapPolicy {
    // A gap is asked for once the watermark has stood still below a held event this long:
    // shorter, and the events that two workers store out of order would be asked for.
    std::chrono::milliseconds openFor{10'000};
    // And again this long after the last ask, while it stays open.
    std::chrono::milliseconds askAgainAfter{60'000};
    int stations = 100;          // at most so many stations in one call
    int rangesPerStation = 100;  // and so many ranges of each (the oldest)
};

// The gaps due to be asked for, recorded as asked now (in one statement: two workers never
// both get the same station's gaps). The caller publishes each as a replay command.
std::vector<Gap> DueGaps(Connection& connection, const GapPolicy& policy);

// Online stations quiet for `quietFor`, with no gap open and not asked for anything in that
// time: their last events may have been lost on the way (a worker killed after the broker
// counted them delivered, a broker restarted without persistence), and nothing would tell,
// as a gap tells of a lost event that others follow. Each is asked for what follows its
// watermark (the station cuts the range at its journal's end), recorded as asked as gaps
// are. `to` is left to the caller, who knows how much a station answers at once.
std::vector<Gap> DueProbes(Connection& connection, std::chrono::milliseconds quietFor,
                           int stations = 100);

// The station no longer keeps its events before `oldest` (its reply to a replay said so):
// they will never come, and the watermark may pass them. Returns the sequences given up
// (0 when none were missing).
std::int64_t GiveUpBefore(Connection& connection, const std::string& station, std::int64_t oldest);

}  // namespace fuel::hq
