// Requests and answers as the API's handlers see them: plain values, apart from any network
// library, so that the handlers, their tests and the fuzz targets need nothing but these.
// The session (session/HttpSession.h) copies a request off the wire into a Request and an
// answer from a Response onto it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace fuel::http {

struct Request {
    std::string method;  // "GET", as sent
    std::string target;  // path and query, as sent: "/api/v1/sales?state=PAYABLE"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Whose connection: the peer's address, for the log.
    std::string peer;

    // The first header of that name (any case); nullopt when there is none.
    std::optional<std::string_view> Header(std::string_view name) const;
    // How many headers of that name it has.
    std::size_t HeaderCount(std::string_view name) const;
    // A WebSocket's opening handshake, as a server decides it: GET, with "upgrade" among the
    // (first) Connection header's tokens and "websocket" among Upgrade's, in any case.
    bool IsWebSocketHandshake() const;
};

// Where an event stream starts (a handler's go-ahead for a Server-Sent Events stream or a
// WebSocket, once the request has passed every check): the session then hands the
// connection to the stream, which joins the listener's stream source with it.
struct StreamStart {
    std::optional<std::int64_t> after{};  // resume after this event's sequence; none: live only
    // Also the events without a sequence number: live only, never kept to resume from (the
    // forecourt's fill progress).
    bool transient = true;
    std::string client{};    // the principal's name, for the log
    bool webSocket = false;  // the route's transport: a WebSocket, else Server-Sent Events
    // Whether the client may still have the stream (its token not revoked since): asked every
    // few seconds on one of the listener's threads; none: always.
    std::function<bool()> stillAllowed{};
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Set on an event stream's go-ahead; the body is then unused.
    std::optional<StreamStart> stream;

    void SetHeader(std::string name, std::string value);
};

// How an answer is handed back: called exactly once, from any thread.
using Respond = std::function<void(Response)>;

// The API's answers: JSON with its status, and {"error": {"code", "message"}} (with "data"
// inside "error" when the failure carries it: the sale that another client cleared ...).
Response JsonResponse(int status, const nlohmann::json& body);
Response ErrorResponse(int status, std::string_view code, std::string_view message,
                       const nlohmann::json& data = nullptr);

// A target split into its path segments (percent-decoded) and its query parameters (in
// order, '+' as a space). nullopt when an escape is broken or decodes to a NUL or to bytes
// that are not UTF-8: such a target names nothing of ours.
struct Target {
    std::string path;  // as sent, without the query
    std::vector<std::string> segments;
    std::vector<std::pair<std::string, std::string>> query;
};
std::optional<Target> ParseTarget(std::string_view target);

// The value of the query parameter, the first one when repeated (the pipeline refuses a
// repeated one).
std::optional<std::string> QueryValue(const Target& target, std::string_view name);

}  // namespace fuel::http
