// Server-Sent Events as the HTML standard defines them: an event is "id:", "event:" and
// "data:" lines and a blank line; a line that starts with ':' is a comment (the heartbeat);
// "retry:" tells the browser how long to wait before it reconnects. A transient event (the
// forecourt's fill progress) goes without an id, so that a reconnecting browser's
// Last-Event-ID stays the last event it can resume from.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "http/StreamSource.h"

namespace fuel::http {

// "id: N\nevent: TYPE\ndata: JSON\n\n" (no id line for a transient event). The data is the same
// JSON object a WebSocket client receives.
void AppendSseEvent(std::string& out, const StreamEvent& event);
// ": TEXT\n\n"
std::string SseComment(std::string_view text);
// What a stream starts with: the reconnection delay.
std::string SseStart(std::chrono::milliseconds retry);
// The last thing a stream's client reads when the server ends it: an "error" event without
// an id, whose data is the API's error object.
std::string SseError(std::string_view code, std::string_view message);

// Why a stream ends, in words, for its last event and the WebSocket's close: "too-slow" (the
// source dropped it), "shutdown" (the server stops), "revoked" (its token no longer lets it
// in).
std::string DropMessage(std::string_view reason);

}  // namespace fuel::http
