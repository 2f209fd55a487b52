// The API as one function from a request to its answer: finds the route, checks the token
// and its role, the parameters, the Idempotency-Key and the body, and hands what passed to
// the route's handler. Every refusal happens here, before a handler (and so the forecourt)
// sees anything, which is why a bad request changes nothing.
#pragma once

#include "server/Http.h"
#include "server/Routes.h"

namespace fuel::server {

// An Idempotency-Key: 1..255 visible ASCII characters.
bool IsIdempotencyKey(std::string_view key);

class Api {
  public:
    explicit Api(Context context) : context_(context) {}

    // reply is called exactly once: at once for what the router refuses or a handler
    // answers from a query, later (from a forecourt thread) for a command.
    void Handle(const Request& request, Reply reply);

  private:
    Context context_;
};

}  // namespace fuel::server
