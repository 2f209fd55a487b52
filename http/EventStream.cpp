#include "http/EventStream.h"

#include <nlohmann/json.hpp>

namespace fuel::http {

void AppendSseEvent(std::string& out, const StreamEvent& event) {
    if (event.sequence > 0) {
        out += "id: ";
        out += std::to_string(event.sequence);
        out += '\n';
    }
    out += "event: ";
    out += event.type;
    // The JSON is one line (newlines inside strings are escaped), so one data line holds it.
    out += "\ndata: ";
    out += event.json;
    out += "\n\n";
}

std::string SseComment(std::string_view text) {
    return ": " + std::string(text) + "\n\n";
}

std::string SseStart(std::chrono::milliseconds retry) {
    return "retry: " + std::to_string(retry.count()) + "\n\n";
}

std::string SseError(std::string_view code, std::string_view message) {
    const nlohmann::json error = {{"error", {{"code", code}, {"message", message}}}};
    return "event: error\ndata: " + error.dump() + "\n\n";
}

std::string DropMessage(std::string_view reason) {
    if (reason == "too-slow") {
        return "the client fell too far behind the events; reconnect with the last id received";
    }
    if (reason == "shutdown")
        return "the server is stopping; reconnect with the last id received";
    if (reason == "revoked")
        return "the client's token has been revoked";
    return "the stream ends";
}

}  // namespace fuel::http
