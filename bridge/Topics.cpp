#include "bridge/Topics.h"

#include <vector>

namespace fuel::bridge {
namespace {

constexpr std::string_view kCommandPrice = "commands/price";

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
