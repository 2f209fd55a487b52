// Requests, as Beast's advanced server shapes them: read one (within the time-out and the
// size limits), hand it to the daemon's handler (a plain function from request to answer),
// write the answer, read the next. A handler's StreamStart hands the connection over to an
// event stream. No locks: the session's state is touched only on its strand, and answers
// that the handler gives on the daemon's threads are posted there.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>

#include "http/Log.h"
#include "http/session/Deadline.h"
#include "http/session/EventStreamSession.h"
#include "http/session/Network.h"
#include "http/session/WebSocketSession.h"

namespace fuel::http {

// How long a closing connection's late bytes are read and dropped.
inline constexpr auto kLinger = std::chrono::seconds(2);
// How long a TLS connection's closing handshake may take.
inline constexpr auto kTlsShutdownTime = std::chrono::seconds(5);

inline std::string PeerOf(tcp::socket& socket) {
    beast::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    if (error)
        return "?";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

inline Request ToRequest(const beast::http::request<beast::http::string_body>& message,
                         const std::string& peer) {
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& field : message) {
        request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    request.body = message.body();
    request.peer = peer;
    return request;
}

inline beast::http::response<beast::http::string_body> ToMessage(const Response& response,
                                                                 const std::string& serverName,
                                                                 unsigned version, bool keepAlive) {
    beast::http::response<beast::http::string_body> message{
        static_cast<beast::http::status>(response.status), version};
    message.set(beast::http::field::server, serverName);
    message.set(beast::http::field::content_type, response.contentType);
    message.set(beast::http::field::cache_control, "no-store");
    for (const auto& [name, value] : response.headers)
        message.set(name, value);
    message.body() = response.body;
    message.keep_alive(keepAlive);
    message.prepare_payload();
    return message;
}

template <typename Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
  public:
    HttpSession(ListenerState& state, Stream stream, ConnectionSlot slot)
        : state_(state),
          stream_(std::move(stream)),
          slot_(std::move(slot)),
          deadline_(stream_.get_executor()) {
        peer_ = PeerOf(Socket(stream_));
        ++state_.counters.requestConnections;
    }
    ~HttpSession() {
        if (counted_)
            --state_.counters.requestConnections;
    }

    net::any_io_executor Executor() { return stream_.get_executor(); }

    void Run() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            Arm(state_.settings.requestTimeout);
            stream_.async_handshake(
                net::ssl::stream_base::server,
                [self = this->shared_from_this()](beast::error_code error) {
                    self->deadline_.Disarm();
                    if (error) {
                        Log(Priority::Debug, self->peer_ + ": TLS handshake: " + error.message());
                        return CloseSocket(self->stream_);
                    }
                    self->Read();
                });
        } else {
            Read();
        }
    }

  private:
    // On expiry the socket's operations are cancelled, not the socket closed: a request that
    // did not arrive whole in time still gets its 408.
    void Arm(std::chrono::steady_clock::duration wait) {
        deadline_.Arm(wait, [weak = this->weak_from_this()] {
            if (auto self = weak.lock()) {
                beast::error_code ignored;
                Socket(self->stream_).cancel(ignored);
            }
        });
    }

    // The header first, in its own (shorter) time, then the body in what is left of the
    // request's.
    void Read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(state_.settings.headerLimit));
        parser_->body_limit(state_.settings.bodyLimit);
        readStart_ = std::chrono::steady_clock::now();
        Arm(std::min(state_.settings.headerTimeout, state_.settings.requestTimeout));
        beast::http::async_read_header(
            stream_, buffer_, *parser_,
            [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                self->OnHeader(error);
            });
    }

    void OnHeader(beast::error_code error) {
        if (error || deadline_.Expired())
            return OnRead(error);
        deadline_.Disarm();
        const auto spent = std::chrono::steady_clock::now() - readStart_;
        Arm(std::max<std::chrono::steady_clock::duration>(
            state_.settings.requestTimeout - spent, std::chrono::steady_clock::duration::zero()));
        beast::http::async_read(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](
                                    beast::error_code error, std::size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        const bool timedOut = deadline_.Expired();
        deadline_.Disarm();
        if (timedOut) {
            // Silence between requests is a client that keeps its connection: it goes quietly.
            if (!parser_->got_some())
                return Shutdown();
            return Fail(408, "request-timeout", "the request did not arrive whole in time");
        }
        if (error == beast::http::error::end_of_stream || error == net::error::eof ||
            error == net::error::connection_reset) {
            return Shutdown();
        }
        if (error == beast::http::error::body_limit) {
            return Fail(
                413, "body-too-large",
                "the body is over " + std::to_string(state_.settings.bodyLimit / 1024) + " KiB");
        }
        if (error == beast::http::error::header_limit) {
            return Fail(431, "header-too-large",
                        "the request's header is over " +
                            std::to_string(state_.settings.headerLimit / 1024) + " KiB");
        }
        if (error && &error.category() ==
                         &beast::http::make_error_code(beast::http::error::bad_method).category()) {
            return Fail(400, "bad-request", "this is not an HTTP request: " + error.message());
        }
        if (error)
            return Shutdown();

        request_ = parser_->release();
        const Request request = ToRequest(request_, peer_);
        std::weak_ptr<HttpSession> weak = this->shared_from_this();
        state_.waiting.Add(this->shared_from_this());
        auto mailbox = state_.mailbox;
        state_.handle(request, [weak, mailbox](Response response) {
            mailbox->Post(weak, [response = std::move(response)](HttpSession& self) mutable {
                self.OnAnswer(std::move(response));
            });
        });
    }

    void OnAnswer(Response response) {
        state_.waiting.Remove(this);
        Log(Priority::Debug, peer_ + " " + std::string(request_.method_string()) + " " +
                                 std::string(request_.target()) + " " +
                                 std::to_string(response.stream ? 200 : response.status));
        if (response.stream)
            return StartStream(std::move(*response.stream));
        Send(response, request_.keep_alive());
    }

    // The transport is the route's, which the pipeline has held the request to; a handler
    // that starts a stream of the other kind than the request asked for gets no stream.
    void StartStream(StreamStart start) {
        const bool upgrade = start.webSocket;
        if (upgrade != websocket::is_upgrade(request_)) {
            return Fail(400, "bad-request",
                        upgrade ? "this is a WebSocket: ask with a WebSocket handshake"
                                : "this is not a WebSocket");
        }
        state_.counters.CountResponse(upgrade ? 101 : 200);
        counted_ = false;
        --state_.counters.requestConnections;
        if (upgrade) {
            std::make_shared<WebSocketSession<Stream>>(state_, std::move(stream_), std::move(slot_),
                                                       std::move(start), peer_)
                ->Run(std::move(request_));
        } else {
            std::make_shared<EventStreamSession<Stream>>(state_, std::move(stream_),
                                                         std::move(slot_), std::move(start), peer_)
                ->Run();
        }
    }

    void Fail(int status, std::string_view code, const std::string& message) {
        Log(Priority::Debug, peer_ + ": " + std::to_string(status) + " " + message);
        Send(ErrorResponse(status, code, message), false);
    }

    void Send(const Response& response, bool keepAlive) {
        state_.counters.CountResponse(response.status);
        response_ = ToMessage(response, state_.settings.serverName,
                              request_.version() ? request_.version() : 11, keepAlive);
        Arm(kWriteTimeout);
        beast::http::async_write(
            stream_, response_,
            [self = this->shared_from_this(), keepAlive](beast::error_code error, std::size_t) {
                self->deadline_.Disarm();
                if (error)
                    return CloseSocket(self->stream_);
                if (!keepAlive)
                    return self->Shutdown();
                self->Read();
            });
    }

    // Ends the connection without losing the answer just written: a peer still sending (a
    // body over the limit) would otherwise get a reset that can overtake the answer. So the
    // sending side is shut, and what still comes is read and dropped for a moment.
    void Shutdown() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            Arm(kTlsShutdownTime);
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
                self->deadline_.Disarm();
                CloseSocket(self->stream_);
            });
        } else {
            beast::error_code ignored;
            Socket(stream_).shutdown(tcp::socket::shutdown_send, ignored);
            Arm(kLinger);
            Drain();
        }
    }

    void Drain() {
        stream_.async_read_some(net::buffer(drain_), [self = this->shared_from_this()](
                                                         beast::error_code error, std::size_t) {
            if (error) {
                self->deadline_.Disarm();
                return CloseSocket(self->stream_);
            }
            self->Drain();
        });
    }

    ListenerState& state_;
    Stream stream_;
    ConnectionSlot slot_;
    bool counted_ = true;
    std::string peer_;
    Deadline deadline_;
    std::chrono::steady_clock::time_point readStart_;
    beast::flat_buffer buffer_;
    std::optional<beast::http::request_parser<beast::http::string_body>> parser_;
    beast::http::request<beast::http::string_body> request_;
    beast::http::response<beast::http::string_body> response_;
    std::array<char, 4096> drain_{};
};

// A connection over a limit, on plain HTTP: the 503 is written at once, whatever the client
// has sent, and the connection closed after a short drain (so that the client's request, if
// it is on its way, does not turn the close into a reset that overtakes the answer).
class Refusal : public std::enable_shared_from_this<Refusal> {
  public:
    Refusal(tcp::socket socket, const std::string& serverName)
        : socket_(std::move(socket)), timer_(socket_.get_executor()) {
        Response response = ErrorResponse(
            503, "too-many-connections",
            "the server has all the connections it takes (from this address, or in all); try "
            "again in a moment");
        response.SetHeader("Retry-After", "1");
        auto message = ToMessage(response, serverName, 11, false);
        std::ostringstream out;
        out << message;
        answer_ = out.str();
    }

    void Run() {
        timer_.expires_after(kRefusalLinger);
        timer_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (!error)
                self->Close();
        });
        net::async_write(socket_, net::buffer(answer_),
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->Close();
                             beast::error_code ignored;
                             self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                             self->Drain();
                         });
    }

  private:
    // How long a refused connection's request may still be read and dropped.
    static constexpr auto kRefusalLinger = std::chrono::milliseconds(500);

    void Drain() {
        socket_.async_read_some(net::buffer(drain_),
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    if (error)
                                        return self->Close();
                                    self->Drain();
                                });
    }
    void Close() {
        timer_.cancel();
        beast::error_code ignored;
        socket_.close(ignored);
    }

    tcp::socket socket_;
    net::steady_timer timer_;
    std::string answer_;
    std::array<char, 4096> drain_{};
};

}  // namespace fuel::http
