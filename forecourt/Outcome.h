// The answer to every request of the forecourt: a status a server maps to its own (the HTTP
// server: server/OutcomeResponse.h), a reason code a program can act on, a message for people,
// and the result's data.
// Requests that change something are idempotent: the outcome is stored under the client's
// idempotency key, and the same key again returns it (replayed set).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fuel::forecourt {

enum class Status {
    Ok,
    Invalid,      // the request itself is wrong: a negative preset, an unknown grade for it
    NotFound,     // no such fuel point, sale or grade
    Refused,      // the fuel point cannot do it now: closed, offline, busy, buffer full
    Conflict,     // the sale or the key says otherwise: locked or cleared by another client
    Unavailable,  // the forecourt is not running, or the journal cannot record
    LineFailed,   // the controller did not carry out the command
};
// "ok", "invalid", "not-found", "refused", "conflict", "unavailable", "line-failed".
std::string_view Name(Status status);

// Reason codes, as `reason` carries them (empty with Status::Ok).
namespace reason {
// Invalid
inline constexpr std::string_view kBadRequest = "bad-request";  // message says what
inline constexpr std::string_view kNoClient = "no-client";      // empty client name
inline constexpr std::string_view kNoKey = "no-idempotency-key";
// NotFound
inline constexpr std::string_view kNoFuelPoint = "no-such-fuel-point";
inline constexpr std::string_view kNoSale = "no-such-sale";
inline constexpr std::string_view kNoGrade = "no-such-grade";
inline constexpr std::string_view kNoNozzle = "no-such-nozzle";
// Refused
inline constexpr std::string_view kClosed = "closed";
inline constexpr std::string_view kOffline = "offline";  // OFFLINE or ERROR
inline constexpr std::string_view kBusy = "busy";        // already authorised or fuelling
inline constexpr std::string_view kBufferFull = "sale-buffer-full";
inline constexpr std::string_view kAutonomous = "autonomous";  // a mode-'0' controller
inline constexpr std::string_view kNothingToStop = "nothing-to-stop";
// Conflict
inline constexpr std::string_view kLockedByOther = "locked-by-other";    // data: the sale
inline constexpr std::string_view kClearedByOther = "cleared-by-other";  // data: the sale
inline constexpr std::string_view kNotLocked = "not-locked";
inline constexpr std::string_view kAlreadyCleared = "already-cleared";    // unlock/lock of one
inline constexpr std::string_view kKeyReused = "idempotency-key-reused";  // other request
inline constexpr std::string_view kInProgress = "in-progress";            // same key, still running
// Unavailable
inline constexpr std::string_view kStopped = "forecourt-stopped";
inline constexpr std::string_view kJournalFailed = "journal-failed";
// The journal cannot write now (a full disk, an I/O error): nothing new is promised until
// it can; try again later.
inline constexpr std::string_view kJournalFailing = "journal-failing";
// LineFailed
inline constexpr std::string_view kNoAnswer = "controller-failed";        // message: which, why
inline constexpr std::string_view kNotConfirmed = "price-not-confirmed";  // data: the report
}  // namespace reason

struct Outcome {
    Status status = Status::Ok;
    std::string reason;     // one of reason::k..., empty with Status::Ok
    std::string message;    // for people; empty with Status::Ok
    nlohmann::json data;    // the result: a fuel point, a sale, a report ...; null when none
    bool replayed = false;  // the stored outcome of an earlier request with the same key

    bool Ok() const { return status == Status::Ok; }

    static Outcome Success(nlohmann::json data = nullptr);
    static Outcome Failure(Status status, std::string_view reason, std::string message,
                           nlohmann::json data = nullptr);
};
// {"status", "reason", "message", "data"}: the stored form; also the body a server may use
// ({"error": {"code": reason, "message": message}} is the network API's error form).
nlohmann::json ToJson(const Outcome& outcome);
Outcome OutcomeFromJson(const nlohmann::json& json);

// Called once with the outcome, on a forecourt thread (a line's loop or the journal's
// writer): it must return quickly and must not call back into the forecourt and wait.
using Done = std::function<void(Outcome)>;

// Who asks: the client's name (a till, the back office) and the idempotency key of this
// request. Both must be non-empty for a request that changes something.
struct Caller {
    std::string client;
    std::string key;
};

}  // namespace fuel::forecourt
