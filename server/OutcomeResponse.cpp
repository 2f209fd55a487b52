#include "server/OutcomeResponse.h"

namespace fuel::server {

int HttpStatus(forecourt::Status status) {
    switch (status) {
        case forecourt::Status::Ok:
            return 200;
        case forecourt::Status::Invalid:
            return 400;
        case forecourt::Status::NotFound:
            return 404;
        case forecourt::Status::Refused:
        case forecourt::Status::Conflict:
            return 409;
        case forecourt::Status::Unavailable:
            return 503;
        case forecourt::Status::LineFailed:
            return 502;
    }
    return 500;
}

http::Response FromOutcome(const forecourt::Outcome& outcome) {
    http::Response response = outcome.Ok()
                                  ? http::JsonResponse(200, outcome.data)
                                  : http::ErrorResponse(HttpStatus(outcome.status), outcome.reason,
                                                        outcome.message, outcome.data);
    if (outcome.replayed)
        response.SetHeader("Idempotent-Replayed", "true");
    return response;
}

}  // namespace fuel::server
