#include "bridge/Replay.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "bridge/Topics.h"

namespace fuel::bridge {
namespace {

using forecourt::Sequence;

constexpr SenderRule kReplayRule{replay::kCommand, forecourt::Permission::Read,
                                 reason::kRoleMayNotRead, "ask for events again"};

// A sequence number of the payload: an integer (not 3.0, not "3") that fits.
std::optional<Sequence> SequenceField(const nlohmann::json& json, const char* name) {
    const auto found = json.find(name);
    if (found == json.end() || !found->is_number_integer())
        return std::nullopt;
    if (found->is_number_unsigned() &&
        found->get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<Sequence>::max())) {
        return std::nullopt;
    }
    return found->get<Sequence>();
}

Reply Answer(const ReplayCommand& command, std::string status, std::string reason,
             std::string message, nlohmann::json data) {
    Reply reply;
    reply.command = std::string(replay::kCommand);
    reply.id = command.id;
    reply.identity = command.identity;
    reply.status = std::move(status);
    reply.reason = std::move(reason);
    reply.message = std::move(message);
    reply.data = std::move(data);
    return reply;
}

// The oldest event the journal still keeps; with none kept, the next it will make (every
// event before it is gone).
Sequence Oldest(const forecourt::EventReader& reader, Sequence last) {
    const std::vector<forecourt::Event> oldest = reader(0, 1);
    return oldest.empty() ? last + 1 : oldest.front().sequence;
}

nlohmann::json Range(Sequence from, Sequence to, Sequence oldest, Sequence last) {
    return {{"from", from}, {"to", to}, {"oldest", oldest}, {"last", last}};
}

}  // namespace

std::variant<ReplayCommand, Reply> ReadReplayCommand(std::string_view topic,
                                                     std::string_view payload,
                                                     const Identities& identities) {
    auto head = ReadCommandHead(ReplayIdentity(topic), topic, payload, identities, kReplayRule);
    if (auto* refused = std::get_if<Reply>(&head))
        return std::move(*refused);
    CommandHead& read = std::get<CommandHead>(head);
    ReplayCommand command{std::move(read.id), std::move(read.identity), 0, 0};
    const auto invalid = [&](std::string message) {
        return Answer(command, std::string(forecourt::Name(forecourt::Status::Invalid)),
                      std::string(forecourt::reason::kBadRequest), std::move(message), nullptr);
    };
    const std::optional<Sequence> from = SequenceField(read.json, "from");
    const std::optional<Sequence> to = SequenceField(read.json, "to");
    if (!from || !to)
        return invalid("the command needs \"from\" and \"to\" (event sequence numbers)");
    if (*from < 1)
        return invalid("\"from\" is below 1: the journal's first event is 1");
    if (*from > *to)
        return invalid("\"from\" is after \"to\"");
    // to - from + 1 without overflow: both lie in 1..max.
    if (*to - *from >= static_cast<Sequence>(replay::kMaxEvents)) {
        return invalid("the range holds more than " + std::to_string(replay::kMaxEvents) +
                       " events: ask for it in parts");
    }
    command.from = *from;
    command.to = *to;
    return command;
}

bool Replays::Add(ReplayCommand command) {
    if (waiting_.size() >= kMaxWaitingReplays)
        return false;
    waiting_.push_back(std::move(command));
    return true;
}

Reply Replays::Busy(const ReplayCommand& command) {
    return Answer(command, std::string(forecourt::Name(forecourt::Status::Refused)),
                  std::string(forecourt::reason::kBusy),
                  std::to_string(kMaxWaitingReplays) +
                      " replays are waiting already: ask again once they are answered",
                  nullptr);
}

std::optional<Replays::Running> Replays::Begin(const ReplayCommand& command,
                                               const forecourt::EventReader& reader, Sequence last,
                                               std::vector<Reply>& replies) const {
    const Sequence oldest = Oldest(reader, last);
    // A range past the journal's end is what a head office asks when it cannot know where
    // the journal ends (its last events lost on the way): it gets what there is, and "last".
    if (command.from > last) {
        replies.push_back(Answer(
            command, std::string(replay::kApplied), "",
            "the journal's last event is " + std::to_string(last) + ": there is none after it yet",
            Range(command.from, command.from - 1, oldest, last)));
        return std::nullopt;
    }
    const Sequence to = std::min(command.to, last);
    if (oldest > to) {
        replies.push_back(Answer(command, std::string(replay::kFailed),
                                 std::string(replay::kNotKept),
                                 "the journal keeps no event before " + std::to_string(oldest),
                                 Range(command.from, to, oldest, last)));
        return std::nullopt;
    }
    Running running;
    running.command = command;
    running.command.to = to;
    running.first = std::max(command.from, oldest);
    running.place = forecourt::CatchUp(running.first - 1);
    running.runFrom = running.first;
    return running;
}

std::vector<forecourt::Event> Replays::Take(const forecourt::EventReader& reader, Sequence last,
                                            std::size_t limit, std::vector<Reply>& replies) {
    while (!current_ && !waiting_.empty()) {
        const ReplayCommand command = std::move(waiting_.front());
        waiting_.pop_front();
        current_ = Begin(command, reader, last, replies);
    }
    if (!current_ || current_->readToEnd || limit == 0)
        return {};
    Running& running = *current_;
    std::vector<forecourt::Event> events = running.place.Read(reader, running.command.to, limit);
    if (running.place.Lost()) {
        // The retention let go of the events after the place while the replay ran: what
        // follows is the run the reply vouches for.
        if (events.empty()) {
            running.readToEnd = true;
        } else {
            running.runFrom = events.front().sequence;
        }
    }
    return events;
}

void Replays::Accept(Sequence sequence) {
    if (!current_)
        return;
    current_->place.Accept(sequence);
    if (current_->place.Reached(current_->command.to))
        current_->readToEnd = true;
}

std::optional<Reply> Replays::Finish(const forecourt::EventReader& reader, Sequence last,
                                     bool acknowledged) {
    if (!current_ || !current_->readToEnd || !acknowledged)
        return std::nullopt;
    // Read before the replay is let go of: a journal that cannot be read leaves it to be
    // answered at the next turn.
    const Sequence oldest = Oldest(reader, last);
    const Running running = std::move(*current_);
    current_.reset();
    const Sequence sent = running.place.Position();
    if (sent < running.runFrom) {
        return Answer(running.command, std::string(replay::kFailed), std::string(replay::kNotKept),
                      "the journal let go of the events while they were sent; it keeps none "
                      "before " +
                          std::to_string(oldest),
                      Range(running.command.from, running.command.to, oldest, last));
    }
    const bool whole = running.runFrom == running.command.from && sent == running.command.to;
    return Answer(running.command, std::string(replay::kApplied), "",
                  whole ? std::string()
                        : "sent " + std::to_string(running.runFrom) + ".." + std::to_string(sent) +
                              ": the journal keeps no event before " + std::to_string(oldest),
                  Range(running.runFrom, sent, oldest, last));
}

void Replays::Restart() {
    if (!current_)
        return;
    current_->place = forecourt::CatchUp(current_->first - 1);
    current_->runFrom = current_->first;
    current_->readToEnd = false;
}

}  // namespace fuel::bridge
