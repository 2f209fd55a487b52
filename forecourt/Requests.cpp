#include "forecourt/Requests.h"

namespace fuel::forecourt {

std::optional<Outcome> CheckCaller(const Caller& caller) {
    if (caller.client.empty()) {
        return Outcome::Failure(Status::Invalid, reason::kNoClient,
                                "a request that changes something names its client");
    }
    if (caller.key.empty()) {
        return Outcome::Failure(Status::Invalid, reason::kNoKey,
                                "a request that changes something carries an idempotency key");
    }
    return std::nullopt;
}

std::optional<Outcome> Recall(Connection& db, const RequestRecord& record) {
    Statement& select =
        db.Prepare("SELECT request, outcome FROM requests WHERE client = ?1 AND key = ?2");
    select.Bind(1, record.caller.client).Bind(2, record.caller.key);
    if (!select.Step())
        return std::nullopt;
    const nlohmann::json request = nlohmann::json::parse(select.Text(0), nullptr, false);
    const std::optional<std::string> stored = select.OptionalText(1);
    select.Reset();
    if (request != record.request) {
        return Outcome::Failure(
            Status::Conflict, reason::kKeyReused,
            "the idempotency key " + record.caller.key + " was used for another request",
            nlohmann::json{{"request", request}});
    }
    if (!stored) {
        return Outcome::Failure(Status::Conflict, reason::kInProgress,
                                "the request with this idempotency key is still running");
    }
    Outcome outcome = OutcomeFromJson(nlohmann::json::parse(*stored, nullptr, false));
    outcome.replayed = true;
    return outcome;
}

void Reserve(Connection& db, const RequestRecord& record, Time at) {
    db.Prepare(
          "INSERT INTO requests (client, key, request, outcome, at) VALUES (?1, ?2, ?3, NULL, ?4)")
        .Bind(1, record.caller.client)
        .Bind(2, record.caller.key)
        .Bind(3, JsonText(record.request))
        .Bind(4, FormatTime(at))
        .Run();
}

void Remember(Connection& db, const RequestRecord& record, const Outcome& outcome, Time at) {
    db.Prepare(
          "INSERT INTO requests (client, key, request, outcome, at) VALUES (?1, ?2, ?3, ?4, ?5) "
          "ON CONFLICT (client, key) DO UPDATE SET outcome = excluded.outcome")
        .Bind(1, record.caller.client)
        .Bind(2, record.caller.key)
        .Bind(3, JsonText(record.request))
        .Bind(4, JsonText(ToJson(outcome)))
        .Bind(5, FormatTime(at))
        .Run();
}

void Release(Connection& db, const RequestRecord& record) {
    db.Prepare("DELETE FROM requests WHERE client = ?1 AND key = ?2 AND outcome IS NULL")
        .Bind(1, record.caller.client)
        .Bind(2, record.caller.key)
        .Run();
}

void DropUnfinished(Connection& db) {
    db.Execute("DELETE FROM requests WHERE outcome IS NULL");
}

}  // namespace fuel::forecourt
