// A request's way to its handler, as a sequence of steps: check its Host, find the route,
// authenticate the principal, hold the request to the route's transport, bind the parameters, take
// the Idempotency-Key, validate the body; then the route's handler; and whatever a step or the
// handler throws, mapped to an answer. Every refusal happens in a step, before a handler (and so
// the daemon) sees anything, which is why a bad request changes nothing.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/Access.h"
#include "http/JsonSchema.h"
#include "http/Message.h"
#include "http/Routes.h"
#include "http/TokenStore.h"

namespace fuel::http {

// The daemon's answer to an exception of its own (its database failing: 503); nullopt for
// one it does not know, which is answered 500.
using ErrorMapping = std::function<std::optional<Response>(const std::exception&)>;

// What a daemon plugs into its pipeline; all of it outlives the pipeline.
struct PipelineSetup {
    const std::vector<Route>& routes;
    const AccessTable& access;
    const TokenStore& tokens;
    const nlohmann::json& schemaRoot;  // where the schemas' "$ref"s resolve
    const Formats& formats;            // the string formats the schemas use
    std::string realm{};               // WWW-Authenticate's: the daemon's name
    ErrorMapping mapError{};           // none: every exception is a 500
};

// A request on its way through the steps: each step reads what those before it found.
struct Passage {
    explicit Passage(const Request& r) : request(r), call(r) {}
    explicit Passage(Request&&) = delete;  // the request must outlive the passage
    const Request& request;
    Target target;
    const Route* route = nullptr;
    const std::vector<std::string>* pattern = nullptr;  // the route's path, split
    std::optional<std::string> token;                   // the bearer token, once authenticated
    Call call;
};

class Pipeline {
  public:
    // The context is what each handler is handed (HandlerOf's type).
    Pipeline(PipelineSetup setup, HandlerContext& context);

    // respond is called exactly once: at once for what a step refuses or a handler answers
    // from a query, later (from any thread) for what a handler hands on to its daemon.
    void Handle(const Request& request, Respond respond) const;

    // The steps, in the order kPipelineSteps runs them: each lets the passage go on (nullopt)
    // or refuses it with its answer.
    std::optional<Response> CheckHost(Passage& passage) const;
    std::optional<Response> FindRoute(Passage& passage) const;
    std::optional<Response> Authenticate(Passage& passage) const;
    std::optional<Response> CheckTransport(Passage& passage) const;
    std::optional<Response> BindParameters(Passage& passage) const;
    std::optional<Response> TakeIdempotencyKey(Passage& passage) const;
    std::optional<Response> ValidateBody(Passage& passage) const;
    // The answer to an exception that a step or the handler threw.
    Response MapError(const std::exception& error, const Passage& passage) const;

  private:
    // The handler's answer as the session is to take it: a stream of the route's transport,
    // that ends when its token no longer lets it in.
    Respond StreamAware(const Passage& passage, Respond respond) const;

    PipelineSetup setup_;
    HandlerContext& context_;
    std::vector<std::vector<std::string>> patterns_;  // each route's path, split
};

using PipelineStep = std::optional<Response> (Pipeline::*)(Passage&) const;
inline constexpr PipelineStep kPipelineSteps[] = {
    &Pipeline::CheckHost,      &Pipeline::FindRoute,      &Pipeline::Authenticate,
    &Pipeline::CheckTransport, &Pipeline::BindParameters, &Pipeline::TakeIdempotencyKey,
    &Pipeline::ValidateBody};

// The error codes of the pipeline's 400s, which a daemon's own refusals share.
inline constexpr std::string_view kBadRequestCode = "bad-request";
inline constexpr std::string_view kNoIdempotencyKeyCode = "no-idempotency-key";

// An Idempotency-Key: 1..255 visible ASCII characters.
bool IsIdempotencyKey(std::string_view key);

}  // namespace fuel::http
