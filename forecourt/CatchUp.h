// One reader's place in the journal's events, for every reader that first reads what it
// missed from the journal and then takes events live: the publisher's subscribers, the
// server's event streams and the bridge to the chain.
//
// Every event is committed before anyone hears of it live, so the journal holds every event
// up to the last one handed out live (the horizon). A reader behind the horizon reads the
// journal up to it, a chunk at a time; from there on it takes live events, and any it has
// already read (a live event that overtook its reading) it is told to skip. The place only
// moves forwards, so nothing comes twice and nothing is passed over.
//
// The journal keeps its events as one run without holes, the oldest let go of first
// (forecourt/Retention.h). A reader whose next event is not the one after its place has
// lost the events between: this is where that is found, for every reader alike, and it is
// never passed over in silence. A client is told to reload (Reload); the broker's bridge
// says what it could not send.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
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
    // journal has nothing more to give (see Lost).
    std::vector<Event> Read(const EventReader& reader, Sequence horizon, std::size_t limit);
    // The last Read found that the journal no longer holds the event after the place: it
    // gave a later one first (the events between are past its retention), or none at all
    // although the horizon lies ahead (let go of, or a journal replaced under the reader).
    bool Lost() const { return lost_; }
    // With Lost: the oldest event the journal still gave, if any.
    std::optional<Sequence> Oldest() const { return oldest_; }
    // The event that tells a reader who lost events to read the state again; it goes on
    // after `horizon` (the reload's id), where the caller moves it (SkipTo).
    Event Reload(Sequence horizon) const;

    // An event read or live: true when it is new to this reader (its place moves to it),
    // false when the reader already had it. Fill progress (not journaled) is always new.
    bool Accept(Sequence sequence);
    // Goes on from the horizon: every event up to it is taken as had (a live-only reader,
    // or one whose missing events cannot be read).
    void SkipTo(Sequence horizon);

  private:
    Sequence position_;
    bool lost_ = false;
    std::optional<Sequence> oldest_;
};

}  // namespace fuel::forecourt
