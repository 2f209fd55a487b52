#include "bridge/Topics.h"

#include <vector>

namespace fuel::bridge {
namespace {

constexpr std::string_view kCommandPrice = "commands/price";
constexpr std::string_view kCommandReplay = "commands/replay";

std::string Join(std::initializer_list<std::string_view> levels) {
    std::string topic;
    for (const std::string_view level : levels) {
        if (!topic.empty())
            topic += '/';
        topic += level;
    }
    return topic;
}

std::vector<std::string_view> Levels(std::string_view topic) {
    std::vector<std::string_view> levels;
    for (;;) {
        const auto slash = topic.find('/');
        levels.push_back(topic.substr(0, slash));
        if (slash == std::string_view::npos)
            return levels;
        topic.remove_prefix(slash + 1);
    }
}

}  // namespace

std::string EventTopic(std::string_view station, std::string_view type) {
    return Join({"stations", station, "events", type});
}
std::string StatusTopic(std::string_view station) {
    return Join({"stations", station, "status"});
}
std::string ReplyTopic(std::string_view station) {
    return Join({"stations", station, "replies"});
}
std::string StationCommandFilter(std::string_view station) {
    return Join({"stations", station, kCommandPrice, "+"});
}
std::string GroupCommandFilter(std::string_view group) {
    return Join({"groups", group, kCommandPrice, "+"});
}
std::string StationCommandTopic(std::string_view station, std::string_view identity) {
    return Join({"stations", station, kCommandPrice, identity});
}
std::string GroupCommandTopic(std::string_view group, std::string_view identity) {
    return Join({"groups", group, kCommandPrice, identity});
}

std::string InfoTopic(std::string_view station) {
    return Join({"stations", station, "info"});
}
std::string ReplayCommandFilter(std::string_view station) {
    return Join({"stations", station, kCommandReplay, "+"});
}
std::string ReplayCommandTopic(std::string_view station, std::string_view identity) {
    return Join({"stations", station, kCommandReplay, identity});
}
std::string SharedEventFilter(std::string_view share) {
    return Join({"$share", share, "stations", "+", "events", "#"});
}

std::optional<StationTopic> ParseStationTopic(std::string_view topic) {
    constexpr std::string_view kPrefix = "stations/";
    if (!topic.starts_with(kPrefix))
        return std::nullopt;
    topic.remove_prefix(kPrefix.size());
    const auto slash = topic.find('/');
    if (slash == std::string_view::npos || slash + 1 == topic.size() ||
        !IsTopicLevel(topic.substr(0, slash))) {
        return std::nullopt;
    }
    return StationTopic{std::string(topic.substr(0, slash)), std::string(topic.substr(slash + 1))};
}

std::optional<std::string> ReplayIdentity(std::string_view topic) {
    const std::vector<std::string_view> levels = Levels(topic);
    if (levels.size() != 5 || levels[0] != "stations" || levels[2] != "commands" ||
        levels[3] != "replay" || !IsTopicLevel(levels[4])) {
        return std::nullopt;
    }
    return std::string(levels[4]);
}

bool IsReplayCommandTopic(std::string_view topic) {
    const std::vector<std::string_view> levels = Levels(topic);
    return levels.size() == 5 && levels[0] == "stations" && levels[2] == "commands" &&
           levels[3] == "replay";
}

std::optional<std::string> CommandIdentity(std::string_view topic) {
    const std::vector<std::string_view> levels = Levels(topic);
    if (levels.size() != 5 || (levels[0] != "stations" && levels[0] != "groups") ||
        levels[2] != "commands" || levels[3] != "price" || !IsTopicLevel(levels[4])) {
        return std::nullopt;
    }
    return std::string(levels[4]);
}

bool IsTopicLevel(std::string_view name) {
    return !name.empty() && name.find_first_of("/+# \t") == std::string_view::npos;
}

}  // namespace fuel::bridge
