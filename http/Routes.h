// An API as data: one row per request (method, path, who may send it, whether it changes
// something and so takes an Idempotency-Key, its parameters, body and answers as JSON
// Schema, its handler). The router, the 401/403/405 answers, the checks on parameters and
// bodies (Pipeline.h), the OpenAPI document (OpenApi.h) and the document's test are all
// made from a daemon's table, so that none of them can say something the others do not.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/Access.h"
#include "http/Message.h"

namespace fuel::http {

// A request that passed the pipeline's checks: its parameters typed by their schemas (path,
// query and header, by name), its body parsed and checked (null when the route takes none),
// who sent it and the Idempotency-Key it came with.
struct Call {
    explicit Call(const Request& r) : request(r) {}
    const Request& request;
    nlohmann::json parameters = nlohmann::json::object();
    nlohmann::json body;
    std::optional<Principal> principal;  // none on public routes
    std::string idempotencyKey;          // empty unless the route changes something
};

// What a daemon's handlers work with (its forecourt, its store ...): the daemon derives its
// own type from this one, and the pipeline hands it back to each handler.
struct HandlerContext {};

using Handler = std::function<void(HandlerContext&, const Call&, Respond)>;

// A daemon's handler, which takes the daemon's own context, as a route's handler. The
// pipeline that runs the route must be given that context.
template <typename Context>
Handler HandlerOf(void (*handler)(Context&, const Call&, Respond)) {
    static_assert(std::is_base_of_v<HandlerContext, Context>);
    return [handler](HandlerContext& context, const Call& call, Respond respond) {
        handler(static_cast<Context&>(context), call, std::move(respond));
    };
}

struct Parameter {
    enum class In { Path, Query, Header };
    std::string name{};
    In in = In::Path;
    bool required = true;
    nlohmann::json schema{};
    std::string description{};
    nlohmann::json example{};  // the value the document's test sends
};

// An answer a route may give, as its document describes it.
struct DocumentedResponse {
    int status = 200;
    std::string description{};
    std::string contentType = "application/json";
    nlohmann::json schema{};  // null for an answer that is not JSON
};

// How a route answers: with one answer, or by turning the connection into an event stream of
// one kind. A request that asks for another transport than its route's is refused.
enum class Transport { Answer, ServerSentEvents, WebSocket };

struct Route {
    std::string method{};  // GET, POST, PUT
    std::string path{};    // "/api/v1/fuel-points/{fp}/authorise"
    std::string operationId{};
    std::string summary{};  // also what a 403 says the role may not do
    // The permission the principal's role must hold (AccessTable), or kPublic.
    std::string permission{};
    bool changes = false;  // takes an Idempotency-Key
    Transport transport = Transport::Answer;
    std::vector<Parameter> parameters{};
    nlohmann::json requestSchema{};   // null: the route takes no body
    nlohmann::json requestExample{};  // what the document's test sends
    // What it answers, the success first; the answers every route may give (401, 403 for
    // a route that needs a token, 400 for one with parameters or a body, 413 ...) are added
    // by the document, not listed here.
    std::vector<DocumentedResponse> responses{};
    Handler handler{};
};

}  // namespace fuel::http
