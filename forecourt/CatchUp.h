// One reader's place in the journal's events, for every reader that first reads what it
// missed from the journal and then takes events live: the publisher's subscribers, the
// server's event streams and the bridge to the chain.
//
// Every event is committed before anyone hears of it live, so the journal holds every event
// up to the last one handed out live (the horizon). A reader behind the horizon reads the
// journal up to it, a chunk at a time; from there on it takes live events, and any it has
// already read (a live event that overtook its reading) it is told to skip. The place only
// moves forwards, so nothing comes twice and nothing is passed over.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "forecourt/Model.h"

namespace fuel::forecourt {

// The journal's events after a sequence number, oldest first, at most limit (Journal's
// EventsAfter, or a stand-in in tests).
using EventReader = std::function<std::vector<Event>(Sequence after, std::size_t limit)>;

class CatchUp {
  public:
    explicit CatchUp(Sequence after) : position_(after) {}

    // The last journaled event this reader has had.
    Sequence Position() const { return position_; }
    bool Reached(Sequence horizon) const { return position_ >= horizon; }

    // The next events from the journal after the place and up to the horizon, at most limit.
    // The place moves on only as each is taken (Accept), so that one the reader could not
    // hand on is read again. Empty when the place has reached the horizon, or when the
    // journal has nothing more to give (see Missing).
    std::vector<Event> Read(const EventReader& reader, Sequence horizon, std::size_t limit);
    // The last Read found nothing in the journal although the horizon lies ahead: those
    // events cannot be read (a journal replaced under the reader). The caller goes live.
    bool Missing() const { return missing_; }

    // An event read or live: true when it is new to this reader (its place moves to it),
    // false when the reader already had it. Fill progress (not journaled) is always new.
    bool Accept(Sequence sequence);
    // Goes on from the horizon: every event up to it is taken as had (a live-only reader,
    // or one whose missing events cannot be read).
    void SkipTo(Sequence horizon);

  private:
    Sequence position_;
    bool missing_ = false;
};

}  // namespace fuel::forecourt
