// A client of the forecourt server written with nothing but an HTTP library (Boost.Beast's
// client side): requests, a Server-Sent Events reader, a WebSocket reader, and raw bytes for
// requests no library would send. For the server's tests and its load benchmark. Every wait
// has a time-out, so that a server that says nothing fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace fuel::test {

using Headers = std::vector<std::pair<std::string, std::string>>;
using Milliseconds = std::chrono::milliseconds;

struct HttpAnswer {
    int status = 0;  // 0: no answer (the connection failed or closed first)
    Headers headers;
    std::string body;
    std::string error;  // why there is no answer

    // The header's value, empty when there is none (names in any case).
    std::string Header(std::string_view name) const;
    // The body as JSON (discarded when it is not).
    nlohmann::json Json() const;
};

// One connection, kept alive between requests and opened again when the server closed it.
class HttpClient {
  public:
    explicit HttpClient(std::uint16_t port, bool tls = false,
                        Milliseconds timeout = Milliseconds(10000));
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpAnswer Send(const std::string& method, const std::string& target,
                    const Headers& headers = {}, const std::string& body = "");

  private:
    struct Connection;
    std::uint16_t port_;
    bool tls_;
    Milliseconds timeout_;
    std::unique_ptr<Connection> connection_;
};

// Connects, sends the bytes as they are (optionally shutting the sending side after them),
// and returns what came back until the server closed or `wait` passed.
std::string RawExchange(std::uint16_t port, const std::string& bytes, Milliseconds wait,
                        bool shutSending = false);

struct SseEvent {
    std::optional<std::int64_t> id;
    std::string type = "message";
    std::string data;
};

// A Server-Sent Events stream, read as a browser reads it.
class EventStreamClient {
  public:
    EventStreamClient(std::uint16_t port, const std::string& target, const Headers& headers);
    ~EventStreamClient();
    EventStreamClient(const EventStreamClient&) = delete;
    EventStreamClient& operator=(const EventStreamClient&) = delete;

    int Status() const { return status_; }
    const std::string& Body() const { return body_; }  // the answer when it is not a stream
    // The next event; nullopt when none came within `wait` or the stream ended.
    std::optional<SseEvent> Next(Milliseconds wait);
    bool Ended() const { return ended_; }
    // Comment lines seen so far (": heartbeat").
    int Comments() const { return comments_; }
    std::optional<std::int64_t> LastEventId() const { return lastId_; }

  private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
    int status_ = 0;
    std::string body_;
    std::string pending_;
    SseEvent partial_;  // the event whose lines are being read
    bool partialHasData_ = false;
    bool ended_ = false;
    int comments_ = 0;
    std::optional<std::int64_t> lastId_;
};

// A WebSocket; each message is one event as JSON.
class WebSocketClient {
  public:
    WebSocketClient(std::uint16_t port, const std::string& target, const Headers& headers);
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    bool Open() const { return open_; }
    int Status() const { return status_; }  // the handshake's answer: 101, or the refusal
    std::optional<std::string> Next(Milliseconds wait);
    // The server's close frame's code and reason, once the socket closed (0: no frame).
    int CloseCode() const { return closeCode_; }
    std::string CloseReason() const { return closeReason_; }

  private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
    bool open_ = false;
    int status_ = 0;
    int closeCode_ = 0;
    std::string closeReason_;
};

}  // namespace fuel::test
