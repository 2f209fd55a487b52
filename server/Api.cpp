#include "server/Api.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <exception>
#include <memory>

#include "forecourt/Database.h"
#include "server/JsonSchema.h"
#include "server/Log.h"
#include "server/Schemas.h"
#include "server/Tokens.h"

namespace fuel::server {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxKeyLength = 255;

// The table's paths split once into segments; "{name}" segments capture.
struct Pattern {
    std::vector<std::string> segments;
};

const std::vector<Pattern>& Patterns() {
    static const std::vector<Pattern> patterns = [] {
        std::vector<Pattern> all;
        for (const Route& route : Routes()) {
            const auto target = ParseTarget(route.path);
            all.push_back({target ? target->segments : std::vector<std::string>{}});
        }
        return all;
    }();
    return patterns;
}

bool IsCapture(const std::string& segment) {
    return segment.size() > 2 && segment.front() == '{' && segment.back() == '}';
}

bool Matches(const Pattern& pattern, const std::vector<std::string>& segments) {
    if (pattern.segments.size() != segments.size())
        return false;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (IsCapture(pattern.segments[i])) {
            if (segments[i].empty())
                return false;
        } else if (pattern.segments[i] != segments[i]) {
            return false;
        }
    }
    return true;
}

Response BadRequest(const std::string& message) {
    return ErrorResponse(400, forecourt::reason::kBadRequest, message);
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
std::optional<std::string> BearerToken(
    const Request& request, const std::vector<std::pair<std::string, std::string>>& query,
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
    if (fromQuery) {
        for (const auto& [name, value] : query) {
            if (name == "access_token")
                return value;
        }
    }
    return std::nullopt;
}

Response Unauthorised(std::string_view code, std::string_view message) {
    Response response = ErrorResponse(401, code, message);
    response.SetHeader("WWW-Authenticate",
                       code == "no-token"
                           ? "Bearer realm=\"fuel-forecourtd\""
                           : "Bearer realm=\"fuel-forecourtd\", error=\"invalid_token\"");
    return response;
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

void Api::Handle(const Request& request, Reply answer) {
    // Exactly once, whatever a handler does after answering (or throws).
    auto answered = std::make_shared<std::atomic<bool>>(false);
    const Reply reply = [answered, answer = std::move(answer)](Response response) {
        if (!answered->exchange(true))
            answer(std::move(response));
    };
    const auto target = ParseTarget(request.target);
    if (!target) {
        reply(BadRequest("the request's target is not a path this server could name"));
        return;
    }
    const std::vector<Route>& routes = Routes();
    const Route* route = nullptr;
    std::string allowed;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        if (!Matches(Patterns()[i], target->segments))
            continue;
        if (routes[i].method == request.method) {
            route = &routes[i];
            break;
        }
        allowed += (allowed.empty() ? "" : ", ") + routes[i].method;
    }
    if (route == nullptr) {
        if (allowed.empty()) {
            reply(ErrorResponse(404, "not-found", "there is nothing at " + target->path));
        } else {
            Response response =
                ErrorResponse(405, "method-not-allowed",
                              request.method + " is not a request for " + target->path);
            response.SetHeader("Allow", allowed);
            reply(std::move(response));
        }
        return;
    }
    const std::size_t index = static_cast<std::size_t>(route - routes.data());
    const Pattern& pattern = Patterns()[index];
    const bool queryToken =
        std::any_of(route->parameters.begin(), route->parameters.end(),
                    [](const Parameter& p) { return p.name == "access_token"; });

    Call call{request};
    try {
        if (route->permission != Permission::Public) {
            const auto token = BearerToken(request, target->query, queryToken);
            if (!token) {
                reply(Unauthorised("no-token", "this request needs Authorization: Bearer TOKEN"));
                return;
            }
            const auto client = context_.tokens.Authenticate(*token);
            if (!client) {
                reply(Unauthorised("bad-token", "the token is unknown or revoked"));
                return;
            }
            if (!Allows(client->role, route->permission)) {
                reply(ErrorResponse(403, "forbidden",
                                    "a client with the role " + std::string(Name(client->role)) +
                                        " may not " + route->summary));
                return;
            }
            call.client = client->name;
            call.role = client->role;
        }

        // Parameters, typed and checked by their schemas.
        for (const auto& entry : target->query) {
            const std::string& name = entry.first;
            const bool known = std::any_of(
                route->parameters.begin(), route->parameters.end(),
                [&](const Parameter& p) { return p.in == Parameter::In::Query && p.name == name; });
            if (!known) {
                reply(BadRequest("query parameter " + name + " is not one of this request's"));
                return;
            }
        }
        for (const Parameter& parameter : route->parameters) {
            std::optional<std::string> text;
            switch (parameter.in) {
                case Parameter::In::Path:
                    for (std::size_t i = 0; i < pattern.segments.size(); ++i) {
                        if (pattern.segments[i] == "{" + parameter.name + "}") {
                            text = target->segments[i];
                        }
                    }
                    break;
                case Parameter::In::Query:
                    text = QueryValue(*target, parameter.name);
                    break;
                case Parameter::In::Header:
                    if (const auto header = request.Header(parameter.name)) {
                        text = std::string(*header);
                    }
                    break;
            }
            if (!text) {
                if (parameter.required) {
                    reply(BadRequest(Where(parameter) + " is missing"));
                    return;
                }
                continue;
            }
            json value = Typed(*text, parameter.schema);
            if (auto problem = Validate(value, parameter.schema, SchemaRoot(), Where(parameter))) {
                reply(BadRequest(*problem));
                return;
            }
            call.parameters[parameter.name] = std::move(value);
        }

        if (route->changes) {
            const auto key = request.Header("Idempotency-Key");
            if (!key) {
                reply(ErrorResponse(400, forecourt::reason::kNoKey,
                                    "this request changes something and needs an Idempotency-Key "
                                    "header, so that sending it again cannot do it twice"));
                return;
            }
            if (!IsIdempotencyKey(*key)) {
                reply(
                    ErrorResponse(400, forecourt::reason::kNoKey,
                                  "the Idempotency-Key must be 1 to 255 visible ASCII characters"));
                return;
            }
            call.caller = {call.client, std::string(*key)};
        }

        if (!route->requestSchema.is_null()) {
            // No body at all is the empty object: {} for the requests whose fields are all
            // optional, and "price is missing" for the others.
            json body = json::object();
            if (request.body.find_first_not_of(" \t\r\n") != std::string::npos) {
                body = json::parse(request.body, nullptr, false);
                if (body.is_discarded()) {
                    reply(BadRequest("the body is not JSON"));
                    return;
                }
            }
            if (auto problem = Validate(body, route->requestSchema, SchemaRoot(), "body")) {
                reply(BadRequest(*problem));
                return;
            }
            call.body = std::move(body);
        }

        route->handler(context_, call, reply);
    } catch (const forecourt::DatabaseError& e) {
        Log(Priority::Error, "journal: " + std::string(e.what()));
        reply(ErrorResponse(503, forecourt::reason::kJournalFailed,
                            "the journal cannot be read: " + std::string(e.what())));
    } catch (const std::exception& e) {
        Log(Priority::Error, request.method + " " + target->path + ": " + e.what());
        reply(ErrorResponse(500, "internal-error", e.what()));
    }
}

}  // namespace fuel::server
