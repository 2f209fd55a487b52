#include "forecourt/Outcome.h"

#include <array>

namespace fuel::forecourt {
namespace {

struct StatusInfo {
    Status status;
    std::string_view name;
};
constexpr std::array<StatusInfo, 7> kStatuses = {{
    {Status::Ok, "ok"},
    {Status::Invalid, "invalid"},
    {Status::NotFound, "not-found"},
    {Status::Refused, "refused"},
    {Status::Conflict, "conflict"},
    {Status::Unavailable, "unavailable"},
    {Status::LineFailed, "line-failed"},
}};

const StatusInfo& Info(Status status) {
    return kStatuses[static_cast<std::size_t>(status)];
}

}  // namespace

std::string_view Name(Status status) {
    return Info(status).name;
}

Outcome Outcome::Success(nlohmann::json data) {
    Outcome outcome;
    outcome.data = std::move(data);
    return outcome;
}

Outcome Outcome::Failure(Status status, std::string_view reason, std::string message,
                         nlohmann::json data) {
    Outcome outcome;
    outcome.status = status;
    outcome.reason = reason;
    outcome.message = std::move(message);
    outcome.data = std::move(data);
    return outcome;
}

nlohmann::json ToJson(const Outcome& outcome) {
    return {{"status", Name(outcome.status)},
            {"reason", outcome.reason},
            {"message", outcome.message},
            {"data", outcome.data}};
}

Outcome OutcomeFromJson(const nlohmann::json& json) {
    Outcome outcome;
    const std::string status = json.value("status", "unavailable");
    outcome.status = Status::Unavailable;
    for (const StatusInfo& info : kStatuses) {
        if (info.name == status)
            outcome.status = info.status;
    }
    outcome.reason = json.value("reason", "");
    outcome.message = json.value("message", "");
    outcome.data = json.contains("data") ? json["data"] : nlohmann::json(nullptr);
    return outcome;
}

}  // namespace fuel::forecourt
