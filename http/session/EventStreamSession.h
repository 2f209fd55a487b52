// Server-Sent Events: the answer's header, then the events as the source hands them out, a
// comment as heartbeat, and at the end (dropped by the source, or the server stopping) an
// error event that says why.
#pragma once

#include <array>
#include <chrono>
#include <string>

#include "http/session/StreamSession.h"

namespace fuel::http {

// What a browser waits before it reconnects to an event stream that ended.
inline constexpr auto kReconnectDelay = std::chrono::milliseconds(2000);

template <typename Stream>
class EventStreamSession final : public StreamSession {
  public:
    EventStreamSession(ListenerState& state, Stream stream, ConnectionSlot slot, StreamStart start,
                       std::string peer)
        : StreamSession(state, stream.get_executor(), std::move(slot), std::move(start),
                        std::move(peer), state.counters.eventStreams, "event stream"),
          stream_(std::move(stream)) {}

    void Run() {
        BoundSendBuffer(stream_, state_.settings.streamSendBuffer);
        Register();
        Join();
        out_ = "HTTP/1.1 200 OK\r\nServer: " + ServerName() +
               "\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
               "Connection: close\r\nX-Accel-Buffering: no\r\n\r\n" +
               SseStart(kReconnectDelay);
        StartWrite();
        Send();
        Beat();
        WatchPeer();
    }

  private:
    std::shared_ptr<EventStreamSession> Self() {
        return std::static_pointer_cast<EventStreamSession>(shared_from_this());
    }

    void SendEvents(std::deque<EventPointer>& pending) override {
        out_.clear();
        for (const EventPointer& event : pending)
            AppendSseEvent(out_, *event);
        pending.clear();
        Send();
    }
    void SendHeartbeat() override {
        out_ = SseComment("heartbeat");
        Send();
    }
    void SendGoodbye(const std::string& reason) override {
        out_ = SseError(reason, DropMessage(reason));
        Send();
    }
    void CloseTransport() override { CloseSocket(stream_); }

    void Send() {
        net::async_write(
            stream_, net::buffer(out_),
            [self = Self()](beast::error_code error, std::size_t) { self->Written(error); });
    }

    // The client sends nothing on an event stream: a read ends when it leaves.
    void WatchPeer() {
        stream_.async_read_some(net::buffer(peerBytes_),
                                [self = Self()](beast::error_code error, std::size_t) {
                                    if (error)
                                        return self->Close();
                                    self->WatchPeer();
                                });
    }

    Stream stream_;
    std::string out_;
    std::array<char, 512> peerBytes_{};
};

}  // namespace fuel::http
