#include "forecourt/Outcome.h"

#include <array>

namespace fuel::forecourt {
namespace {

struct StatusInfo {
    Status status;
    std::string_view name;
    int http;
};
constexpr std::array<StatusInfo, 7> kStatuses = {{
    {Status::Ok, "ok", 200},
    {Status::Invalid, "invalid", 400},
    {Status::NotFound, "not-found", 404},
    {Status::Refused, "refused", 409},
    {Status::Conflict, "conflict", 409},
    {Status::Unavailable, "unavailable", 503},
    {Status::LineFailed, "line-failed", 502},
}};

const StatusInfo& Info(Status status) {
    return kStatuses[static_cast<std::size_t>(status)];
}

}  // namespace

std::string_view Name(Status status) {
    return Info(status).name;
}

int HttpStatus(Status status) {
    return Info(status).http;
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
