// The API as data: one row per request (method, path, who may send it, whether it changes
// something and so takes an Idempotency-Key, its parameters, body and answer as JSON
// Schema, its handler). The router (Api.cpp), the 401/403/405 answers, the checks on
// parameters and bodies, the OpenAPI document and the document's test are all made from
// this table, so that none of them can say something the others do not.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forecourt/Outcome.h"
#include "server/Http.h"
#include "server/Roles.h"

namespace fuel::forecourt {
class Forecourt;
}

namespace fuel::server {

class EventHub;
class Tokens;
struct ServerCounters;

// What the handlers work with; owned by the server, alive while it runs.
struct Context {
    forecourt::Forecourt& forecourt;
    Tokens& tokens;
    ServerCounters& counters;
    const EventHub* hub = nullptr;  // for /metrics; none in tests of the API alone
};

// A request that passed the router's checks: its parameters typed by their schemas (path
// and query, by name), its body parsed and checked (null when the route takes none), and
// who sent it.
struct Call {
    explicit Call(const Request& r) : request(r) {}
    const Request& request;
    nlohmann::json parameters = nlohmann::json::object();
    nlohmann::json body;
    std::string client;        // the token's name; empty on public routes
    std::optional<Role> role;  // the token's role; none on public routes
    forecourt::Caller caller;  // the client and its Idempotency-Key (changing routes)
};

// Called exactly once, from any thread.
using Reply = std::function<void(Response)>;
using Handler = std::function<void(Context&, const Call&, Reply)>;

struct Parameter {
    enum class In { Path, Query, Header };
    std::string name;
    In in = In::Path;
    bool required = true;
    nlohmann::json schema;
    std::string description;
    nlohmann::json example;  // the value the document's test sends
};

struct Answer {
    int status = 200;
    std::string description;
    std::string contentType = "application/json";
    nlohmann::json schema;  // null for an answer that is not JSON
};

struct Route {
    std::string method;  // GET, POST, PUT
    std::string path;    // "/api/v1/fuel-points/{fp}/authorise"
    std::string operationId;
    std::string summary;
    Permission permission = Permission::Read;
    bool changes = false;  // takes an Idempotency-Key
    std::vector<Parameter> parameters;
    nlohmann::json requestSchema;   // null: the route takes no body
    nlohmann::json requestExample;  // what the document's test sends
    // What it answers, the success first; the answers every route may give (401, 403 for
    // a route that needs a token, 400 for one with parameters or a body, 413 ...) are added
    // by the document, not listed here.
    std::vector<Answer> answers;
    Handler handler;
};

// In the document's order.
const std::vector<Route>& Routes();

// The answer to a command's outcome: the data with 200, or the error with the status the
// outcome's status maps to; a replayed outcome says so in Idempotent-Replayed.
Response FromOutcome(const forecourt::Outcome& outcome);

}  // namespace fuel::server
