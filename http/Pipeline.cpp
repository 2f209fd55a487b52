#include "http/Pipeline.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <memory>

#include "http/Log.h"

namespace fuel::http {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxKeyLength = 255;

bool IsCapture(const std::string& segment) {
    return segment.size() > 2 && segment.front() == '{' && segment.back() == '}';
}

bool Matches(const std::vector<std::string>& pattern, const std::vector<std::string>& segments) {
    if (pattern.size() != segments.size())
        return false;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (IsCapture(pattern[i])) {
            if (segments[i].empty())
                return false;
        } else if (pattern[i] != segments[i]) {
            return false;
        }
    }
    return true;
}

Response BadRequest(const std::string& message) {
    return ErrorResponse(400, kBadRequestCode, message);
}

// A parameter's text as the JSON value its schema asks for; the schema then checks it.
json Typed(const std::string& text, const json& schema) {
    const std::string type = schema.value("type", "string");
    if (type == "integer") {
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && !text.empty())
            return value;
        return text;  // the schema says what is wrong with it
    }
    if (type == "number") {
        // Digits, one point, a sign: no hexadecimal, infinity or NaN that strtod would take.
        const bool plain =
            !text.empty() && text.find_first_not_of("0123456789.-+eE") == std::string::npos;
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (plain && error == std::errc() && end == text.data() + text.size())
            return value;
        return text;
    }
    if (type == "boolean") {
        if (text == "true" || text == "1")
            return true;
        if (text == "false" || text == "0")
            return false;
        return text;
    }
    return text;
}

std::string Where(const Parameter& parameter) {
    switch (parameter.in) {
        case Parameter::In::Path:
            return "path parameter " + parameter.name;
        case Parameter::In::Query:
            return "query parameter " + parameter.name;
        case Parameter::In::Header:
            return "header " + parameter.name;
    }
    return parameter.name;
}

// The bearer token of the request: from Authorization, or (event streams, whose browser
// clients cannot set headers) from access_token in the query.
std::optional<std::string> BearerToken(const Request& request, const Target& target,
                                       bool fromQuery) {
    if (const auto header = request.Header("Authorization")) {
        constexpr std::string_view kScheme = "bearer ";
        if (header->size() <= kScheme.size())
            return std::nullopt;
        for (std::size_t i = 0; i < kScheme.size(); ++i) {
            const char c = (*header)[i];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) {
                return std::nullopt;
            }
        }
        std::string_view token = header->substr(kScheme.size());
        while (!token.empty() && token.front() == ' ')
            token.remove_prefix(1);
        while (!token.empty() && token.back() == ' ')
            token.remove_suffix(1);
        return std::string(token);
    }
    if (fromQuery)
        return QueryValue(target, "access_token");
    return std::nullopt;
}

Response Unauthorised(const std::string& realm, std::string_view code, std::string_view message) {
    Response response = ErrorResponse(401, code, message);
    response.SetHeader("WWW-Authenticate", code == "no-token" ? "Bearer realm=\"" + realm + "\""
                                                              : "Bearer realm=\"" + realm +
                                                                    "\", error=\"invalid_token\"");
    return response;
}

// Exactly once, whatever a handler does after answering (or throws).
Respond Once(Respond respond) {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    return [answered, respond = std::move(respond)](Response response) {
        if (!answered->exchange(true))
            respond(std::move(response));
    };
}

}  // namespace

bool IsIdempotencyKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyLength)
        return false;
    for (const char c : key) {
        if (c < 0x21 || c > 0x7E)
            return false;
    }
    return true;
}

Pipeline::Pipeline(PipelineSetup setup, HandlerContext& context)
    : setup_(std::move(setup)), context_(context) {
    for (const Route& route : setup_.routes) {
        const auto target = ParseTarget(route.path);
        patterns_.push_back(target ? target->segments : std::vector<std::string>{});
    }
}

void Pipeline::Handle(const Request& request, Respond respond) const {
    const Respond once = Once(std::move(respond));
    Passage passage(request);
    try {
        for (const PipelineStep step : kPipelineSteps) {
            if (auto refusal = (this->*step)(passage)) {
                once(std::move(*refusal));
                return;
            }
        }
        passage.route->handler(context_, passage.call, StreamAware(passage, once));
    } catch (const std::exception& e) {
        once(MapError(e, passage));
    }
}

// One Host, as HTTP/1.1 asks: none, or two that may differ, leave it open which site a
// request is for (and what a proxy in front of us thought it was).
std::optional<Response> Pipeline::CheckHost(Passage& passage) const {
    const std::size_t hosts = passage.request.HeaderCount("Host");
    if (hosts != 1) {
        return BadRequest(hosts == 0 ? "the request has no Host header"
                                     : "the request has " + std::to_string(hosts) +
                                           " Host headers; it takes one");
    }
    return std::nullopt;
}

std::optional<Response> Pipeline::FindRoute(Passage& passage) const {
    auto target = ParseTarget(passage.request.target);
    if (!target)
        return BadRequest("the request's target is not a path this server could name");
    passage.target = std::move(*target);
    std::string allowed;
    for (std::size_t i = 0; i < setup_.routes.size(); ++i) {
        if (!Matches(patterns_[i], passage.target.segments))
            continue;
        if (setup_.routes[i].method == passage.request.method) {
            passage.route = &setup_.routes[i];
            passage.pattern = &patterns_[i];
            return std::nullopt;
        }
        allowed += (allowed.empty() ? "" : ", ") + setup_.routes[i].method;
    }
    if (allowed.empty())
        return ErrorResponse(404, "not-found", "there is nothing at " + passage.target.path);
    Response response =
        ErrorResponse(405, "method-not-allowed",
                      passage.request.method + " is not a request for " + passage.target.path);
    response.SetHeader("Allow", allowed);
    return response;
}

std::optional<Response> Pipeline::CheckTransport(Passage& passage) const {
    const bool handshake = passage.request.IsWebSocketHandshake();
    if (passage.route->transport == Transport::WebSocket) {
        if (handshake)
            return std::nullopt;
        Response response = ErrorResponse(
            426, "upgrade-required",
            "this is a WebSocket: ask with Connection: Upgrade and Upgrade: websocket");
        response.SetHeader("Upgrade", "websocket");
        return response;
    }
    if (handshake) {
        return BadRequest(passage.target.path + " is not a WebSocket" +
                          (passage.route->transport == Transport::ServerSentEvents
                               ? ": it is Server-Sent Events, a plain GET"
                               : ""));
    }
    return std::nullopt;
}

std::optional<Response> Pipeline::Authenticate(Passage& passage) const {
    const Route& route = *passage.route;
    if (route.permission == kPublic)
        return std::nullopt;
    const bool queryToken =
        std::any_of(route.parameters.begin(), route.parameters.end(), [](const Parameter& p) {
            return p.in == Parameter::In::Query && p.name == "access_token";
        });
    const auto token = BearerToken(passage.request, passage.target, queryToken);
    if (!token) {
        return Unauthorised(setup_.realm, "no-token",
                            "this request needs Authorization: Bearer TOKEN");
    }
    auto principal = setup_.tokens.Authenticate(*token);
    if (!principal)
        return Unauthorised(setup_.realm, "bad-token", "the token is unknown or revoked");
    if (!setup_.access.Allows(principal->role, route.permission)) {
        return ErrorResponse(
            403, "forbidden",
            "a client with the role " + principal->role + " may not " + route.summary);
    }
    passage.call.principal = std::move(principal);
    passage.token = *token;
    return std::nullopt;
}

std::optional<Response> Pipeline::BindParameters(Passage& passage) const {
    const Route& route = *passage.route;
    for (auto entry = passage.target.query.begin(); entry != passage.target.query.end(); ++entry) {
        const std::string& name = entry->first;
        // Given twice, a parameter would mean what the first says to one reader and the last
        // to another: the check and the use must read the same value.
        if (std::any_of(passage.target.query.begin(), entry,
                        [&](const auto& earlier) { return earlier.first == name; })) {
            return BadRequest("query parameter " + name + " is given more than once");
        }
        const bool known = std::any_of(
            route.parameters.begin(), route.parameters.end(),
            [&](const Parameter& p) { return p.in == Parameter::In::Query && p.name == name; });
        if (!known)
            return BadRequest("query parameter " + name + " is not one of this request's");
    }
    for (const Parameter& parameter : route.parameters) {
        std::optional<std::string> text;
        switch (parameter.in) {
            case Parameter::In::Path:
                for (std::size_t i = 0; i < passage.pattern->size(); ++i) {
                    if ((*passage.pattern)[i] == "{" + parameter.name + "}")
                        text = passage.target.segments[i];
                }
                break;
            case Parameter::In::Query:
                text = QueryValue(passage.target, parameter.name);
                break;
            case Parameter::In::Header:
                if (const auto header = passage.request.Header(parameter.name))
                    text = std::string(*header);
                break;
        }
        if (!text) {
            if (parameter.required)
                return BadRequest(Where(parameter) + " is missing");
            continue;
        }
        json value = Typed(*text, parameter.schema);
        if (auto problem = Validate(value, parameter.schema, setup_.schemaRoot, setup_.formats,
                                    Where(parameter))) {
            return BadRequest(*problem);
        }
        passage.call.parameters[parameter.name] = std::move(value);
    }
    return std::nullopt;
}

std::optional<Response> Pipeline::TakeIdempotencyKey(Passage& passage) const {
    if (!passage.route->changes)
        return std::nullopt;
    const auto key = passage.request.Header("Idempotency-Key");
    if (!key) {
        return ErrorResponse(400, kNoIdempotencyKeyCode,
                             "this request changes something and needs an Idempotency-Key "
                             "header, so that sending it again cannot do it twice");
    }
    if (!IsIdempotencyKey(*key)) {
        return ErrorResponse(400, kNoIdempotencyKeyCode,
                             "the Idempotency-Key must be 1 to 255 visible ASCII characters");
    }
    passage.call.idempotencyKey = std::string(*key);
    return std::nullopt;
}

std::optional<Response> Pipeline::ValidateBody(Passage& passage) const {
    const Route& route = *passage.route;
    if (route.requestSchema.is_null())
        return std::nullopt;
    // No body at all is the empty object: {} for the requests whose fields are all optional,
    // and "price is missing" for the others.
    const std::string& text = passage.request.body;
    json body = json::object();
    if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
        body = json::parse(text, nullptr, false);
        if (body.is_discarded())
            return BadRequest("the body is not JSON");
    }
    if (auto problem =
            Validate(body, route.requestSchema, setup_.schemaRoot, setup_.formats, "body")) {
        return BadRequest(*problem);
    }
    passage.call.body = std::move(body);
    return std::nullopt;
}

Respond Pipeline::StreamAware(const Passage& passage, Respond respond) const {
    const bool webSocket = passage.route->transport == Transport::WebSocket;
    std::function<bool()> stillAllowed;
    if (passage.token) {
        stillAllowed = [tokens = &setup_.tokens, access = &setup_.access, token = *passage.token,
                        permission = passage.route->permission] {
            try {
                const auto principal = tokens->Authenticate(token);
                return principal && access->Allows(principal->role, permission);
            } catch (const std::exception&) {
                // A store that cannot be read for a moment has revoked nothing.
                return true;
            }
        };
    }
    return [respond = std::move(respond), webSocket,
            stillAllowed = std::move(stillAllowed)](Response response) {
        if (response.stream) {
            response.stream->webSocket = webSocket;
            response.stream->stillAllowed = stillAllowed;
        }
        respond(std::move(response));
    };
}

Response Pipeline::MapError(const std::exception& error, const Passage& passage) const {
    if (setup_.mapError) {
        if (auto response = setup_.mapError(error))
            return std::move(*response);
    }
    Log(Priority::Error, passage.request.method + " " + passage.target.path + ": " + error.what());
    return ErrorResponse(500, "internal-error", error.what());
}

}  // namespace fuel::http
