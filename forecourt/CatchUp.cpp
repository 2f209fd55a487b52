#include "forecourt/CatchUp.h"

#include <algorithm>

namespace fuel::forecourt {

std::vector<Event> CatchUp::Read(const EventReader& reader, Sequence horizon, std::size_t limit) {
    lost_ = false;
    oldest_.reset();
    if (Reached(horizon) || limit == 0)
        return {};
    std::vector<Event> events = reader(position_, limit);
    // Only what lies after the place and up to the horizon: beyond it the live side hands
    // the events on, and whatever came back out of order is nothing of ours.
    std::erase_if(events, [&](const Event& event) {
        return event.sequence <= position_ || event.sequence > horizon;
    });
    if (events.empty()) {
        lost_ = true;
    } else if (events.front().sequence > position_ + 1) {
        lost_ = true;
        oldest_ = events.front().sequence;
    }
    return events;
}

Event CatchUp::Reload(Sequence horizon) const {
    return Event{std::max(horizon, position_),
                 std::string(event_type::kReload),
                 std::chrono::system_clock::now(),
                 {{"after", position_},
                  {"oldest", oldest_ ? nlohmann::json(*oldest_) : nlohmann::json(nullptr)}}};
}

bool CatchUp::Accept(Sequence sequence) {
    if (sequence <= 0)
        return true;
    if (sequence <= position_)
        return false;
    position_ = sequence;
    return true;
}

void CatchUp::SkipTo(Sequence horizon) {
    position_ = std::max(position_, horizon);
}

}  // namespace fuel::forecourt
