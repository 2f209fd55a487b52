// The replay command (bridge/Topics.h fixes its payload and reply): a sender asks the station
// to send a range of its journal's events again, to mend a gap the sender could not close
// otherwise. Read and checked here as a price command is (bridge/Command.h), and kept in
// arrival order until the bridge's thread has sent each one.
//
// A replay is sent one at a time, a window's room at a time, as the bridge's thread finds
// room beside its own publishing; its reply goes out once the broker has acknowledged every
// event of it, so a sender that has the reply has (or will have) the events too. Over a new
// connection the replay in progress starts again from its first event: QoS 1 repeats are
// what a sender drops anyway.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bridge/Command.h"
#include "forecourt/CatchUp.h"
#include "forecourt/Model.h"

namespace fuel::bridge {

struct ReplayCommand {
    std::string id;
    std::string identity;
    forecourt::Sequence from = 0;  // both included
    forecourt::Sequence to = 0;
};

// The command, or the reply that refuses it. Never throws on what arrives.
std::variant<ReplayCommand, Reply> ReadReplayCommand(std::string_view topic,
                                                     std::string_view payload,
                                                     const Identities& identities);

// Replays at most this many waiting behind the one being sent; one more is refused as busy
// (the sender asks again later).
inline constexpr std::size_t kMaxWaitingReplays = 16;

class Replays {
  public:
    // False when kMaxWaitingReplays are waiting already; the caller refuses it (Busy).
    bool Add(ReplayCommand command);
    static Reply Busy(const ReplayCommand& command);

    // The next events of the replay in progress to send, at most limit; starts the next
    // waiting one when none is in progress. A replay answered without sending anything (the
    // range is no longer kept, or lies beyond the journal's `last` event) is finished at
    // once: its reply is added to `replies`. Empty when there is nothing to send now.
    std::vector<forecourt::Event> Take(const forecourt::EventReader& reader,
                                       forecourt::Sequence last, std::size_t limit,
                                       std::vector<Reply>& replies);
    // The event Take gave has been handed to the broker (or refused by it for good): the
    // replay goes on after it. Events Take gave and not accepted are given again.
    void Accept(forecourt::Sequence sequence);
    // With the replay in progress read to its end and nothing of it waiting for the broker's
    // acknowledgement (acknowledged): its reply, and the replay is done.
    std::optional<Reply> Finish(const forecourt::EventReader& reader, forecourt::Sequence last,
                                bool acknowledged);
    // A new connection: what was on the wire is lost, the replay in progress goes again
    // from its first event.
    void Restart();

    bool Idle() const { return !current_ && waiting_.empty(); }
    // The replay in progress has had every event it will send from Take.
    bool ReadToEnd() const { return current_ && current_->readToEnd; }

  private:
    struct Running {
        ReplayCommand command;
        forecourt::Sequence first = 0;  // the first event kept when it began
        forecourt::CatchUp place{0};
        // The first event of the run up to `to` that went without a gap (retention may let
        // go of the range's beginning while it is sent).
        forecourt::Sequence runFrom = 0;
        bool readToEnd = false;
    };
    std::optional<Running> Begin(const ReplayCommand& command, const forecourt::EventReader& reader,
                                 forecourt::Sequence last, std::vector<Reply>& replies) const;

    std::deque<ReplayCommand> waiting_;
    std::optional<Running> current_;
};

}  // namespace fuel::bridge
