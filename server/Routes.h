// The forecourt's API as data (http/Routes.h says what a row holds): one row per request,
// in the document's order. The pipeline (Api.h), the OpenAPI document (OpenApi.h) and the
// document's test are all made from this table.
#pragma once

#include <vector>

#include "http/Counters.h"
#include "http/Routes.h"

namespace fuel::forecourt {
class Forecourt;
}

namespace fuel::server {

class EventHub;
class Tokens;

// What the handlers work with; owned by the server, alive while it runs.
struct Context : http::HandlerContext {
    Context(forecourt::Forecourt& f, Tokens& t, http::ServerCounters& c, const EventHub* h)
        : forecourt(f), tokens(t), counters(c), hub(h) {}

    forecourt::Forecourt& forecourt;
    Tokens& tokens;
    http::ServerCounters& counters;
    const EventHub* hub = nullptr;  // for /metrics; none in tests of the API alone
};

const std::vector<http::Route>& Routes();

}  // namespace fuel::server
