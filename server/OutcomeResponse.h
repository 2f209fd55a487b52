// Where a forecourt's outcome becomes an HTTP answer: the forecourt knows its statuses, the
// server which HTTP status each is.
#pragma once

#include "forecourt/Outcome.h"
#include "http/Message.h"

namespace fuel::server {

// 200, 400, 404, 409, 409, 503, 502 for Ok, Invalid, NotFound, Refused, Conflict,
// Unavailable, LineFailed.
int HttpStatus(forecourt::Status status);

// The data with 200, or the error with the status the outcome's status maps to; a replayed
// outcome says so in Idempotent-Replayed.
http::Response FromOutcome(const forecourt::Outcome& outcome);

}  // namespace fuel::server
