// WebSocket: the same events, one text message each; pings as heartbeat; at the end a close
// frame with the reason: "try again later" for a client the source dropped, "going away"
// when the server stops.
#pragma once

#include <string>

#include "http/session/StreamSession.h"

namespace fuel::http {

template <typename Stream>
class WebSocketSession final : public StreamSession {
  public:
    WebSocketSession(ListenerState& state, Stream stream, ConnectionSlot slot, StreamStart start,
                     std::string peer)
        : StreamSession(state, stream.get_executor(), std::move(slot), std::move(start),
                        std::move(peer), state.counters.webSockets, "WebSocket"),
          ws_(std::move(stream)) {}

    void Run(beast::http::request<beast::http::string_body> request) {
        BoundSendBuffer(ws_.next_layer(), state_.settings.streamSendBuffer);
        // Beast's own time-outs stay off: the session's watch bounds the handshake's answer
        // and every write.
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = websocket::stream_base::none();
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator(
            [name = ServerName()](websocket::response_type& response) {
                response.set(beast::http::field::server, name);
            }));
        ws_.text(true);
        ws_.read_message_max(state_.settings.webSocketMessageLimit);
        Register();
        StartWrite(state_.settings.requestTimeout);
        ws_.async_accept(request, [self = Self()](beast::error_code error) {
            self->EndWrite();
            if (error)
                return self->Close();
            self->Join();
            self->Beat();
            self->Read();
            self->Pump();
        });
    }

  private:
    std::shared_ptr<WebSocketSession> Self() {
        return std::static_pointer_cast<WebSocketSession>(shared_from_this());
    }

    void SendEvents(std::deque<EventPointer>& pending) override {
        current_ = pending.front();
        pending.pop_front();
        ws_.async_write(
            net::buffer(current_->json),
            [self = Self()](beast::error_code error, std::size_t) { self->Written(error); });
    }
    void SendHeartbeat() override {
        ws_.async_ping({}, [self = Self()](beast::error_code error) { self->Written(error); });
    }
    void SendGoodbye(const std::string& reason) override {
        const auto code = reason == "shutdown"  ? websocket::close_code::going_away
                          : reason == "revoked" ? websocket::close_code::policy_error
                                                : websocket::close_code::try_again_later;
        // A close frame's reason holds at most 123 bytes.
        ws_.async_close(websocket::close_reason(code, DropMessage(reason).substr(0, 123)),
                        [self = Self()](beast::error_code error) { self->Written(error); });
    }
    void CloseTransport() override { CloseSocket(ws_.next_layer()); }

    // Reads to answer the peer's pings and see its close; what it sends otherwise is ignored,
    // and a message over the limit ends the connection (close code 1009) as soon as its
    // frame's header says how big it is, before its payload is buffered.
    void Read() {
        ws_.async_read(incoming_, [self = Self()](beast::error_code error, std::size_t) {
            if (error)
                return self->Close();
            self->incoming_.consume(self->incoming_.size());
            self->Read();
        });
    }

    websocket::stream<Stream> ws_;
    EventPointer current_;
    beast::flat_buffer incoming_;
};

}  // namespace fuel::http
