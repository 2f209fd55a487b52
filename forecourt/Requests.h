// Idempotency keys in the journal: the first outcome of a request, stored under the client's
// name and key in the same transaction as the change it made, is the answer to every
// repetition. A request that must act on a line before its outcome is known reserves its key
// first (outcome still empty): a repetition meanwhile is told it is in progress, and a
// reservation that a crash left behind is dropped at the next start, so that the client's
// retry does the work (stopping a pump, setting a price: both harmless to repeat).
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "forecourt/Database.h"
#include "forecourt/Model.h"
#include "forecourt/Outcome.h"

namespace fuel::forecourt {

// A request as stored beside its key: the operation and its arguments, so that the same key
// with another request is told apart.
struct RequestRecord {
    Caller caller;
    nlohmann::json request;
};

// Invalid with no-client / no-idempotency-key when either is missing; nullopt when fine.
std::optional<Outcome> CheckCaller(const Caller& caller);

// The answer the key already has: the stored outcome (replayed), Conflict in-progress for a
// reservation, Conflict key-reused for another request; nullopt for a new key.
std::optional<Outcome> Recall(Connection& db, const RequestRecord& record);
void Reserve(Connection& db, const RequestRecord& record, Time at);
// Stores (or completes a reservation with) the outcome.
void Remember(Connection& db, const RequestRecord& record, const Outcome& outcome, Time at);
// Gives up a reservation whose outcome could not be stored, so that the client's retry does
// the work again instead of hearing that it is still in progress.
void Release(Connection& db, const RequestRecord& record);
// Drops reservations a crash left without an outcome.
void DropUnfinished(Connection& db);

}  // namespace fuel::forecourt
