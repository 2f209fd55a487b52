// Server-Sent Events as the HTML standard defines them: an event is "id:", "event:" and
// "data:" lines and a blank line; a line that starts with ':' is a comment (the heartbeat);
// "retry:" tells the browser how long to wait before it reconnects. Fill progress goes
// without an id, so that a reconnecting browser's Last-Event-ID stays the last journaled
// event's.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "server/EventHub.h"

namespace fuel::server {

// "id: N\nevent: TYPE\ndata: JSON\n\n" (no id line for fill progress). The data is the same
// JSON object a WebSocket client receives.
void AppendSseEvent(std::string& out, const StreamEvent& event);
// ": TEXT\n\n"
std::string SseComment(std::string_view text);
// What a stream starts with: the reconnection delay.
std::string SseStart(std::chrono::milliseconds retry);
// The last thing a dropped client reads: an "error" event without an id, whose data is the
// API's error object.
std::string SseError(std::string_view code, std::string_view message);

// Why a client is dropped, in words, for the stream's last event and the WebSocket's close.
std::string DropMessage(std::string_view reason);

}  // namespace fuel::server
