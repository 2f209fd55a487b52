// One connection, as Beast's advanced server shapes it: a session object per connection on
// its own strand, reading a request, handing it to the API (a plain function from request
// to answer) and writing the answer; an event stream takes the connection over once the
// API has let the request through. No locks: each session's state is touched only on its
// strand, and answers that the forecourt gives on its threads are posted there.
#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "server/EventStream.h"
#include "server/Log.h"
#include "server/Network.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::server {

void Waiting::Add(const std::shared_ptr<void>& session) {
    std::lock_guard lock(mutex_);
    sessions_.insert(session);
}

void Waiting::Remove(const void* session) {
    std::shared_ptr<void> last;  // released after the lock
    std::lock_guard lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (it->get() == session) {
            last = *it;
            sessions_.erase(it);
            break;
        }
    }
}

void Waiting::Clear() {
    std::set<std::shared_ptr<void>> sessions;
    {
        std::lock_guard lock(mutex_);
        sessions.swap(sessions_);
    }
}

namespace {

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

constexpr std::string_view kServerName = "fuel-forecourtd/" FUEL_VERSION;
// A write that does not finish in this time has a peer that stopped reading: it is closed.
constexpr auto kWriteTimeout = std::chrono::seconds(60);
// How long a closing connection's late bytes are read and dropped.
constexpr auto kLinger = std::chrono::seconds(2);
// What a browser waits before it reconnects to an event stream that ended.
constexpr auto kReconnectDelay = std::chrono::milliseconds(2000);

template <typename Stream>
tcp::socket& Socket(Stream& stream) {
    return beast::get_lowest_layer(stream).socket();
}

// A stream's socket buffers what its client has not read yet in the kernel: bounded, so that
// a client that stops reading is found out by its queue soon, not megabytes later.
template <typename Stream>
void BoundSendBuffer(Stream& stream, std::size_t bytes) {
    beast::error_code ignored;
    Socket(stream).set_option(net::socket_base::send_buffer_size(static_cast<int>(bytes)), ignored);
}

template <typename Stream>
void CloseSocket(Stream& stream) {
    beast::error_code ignored;
    Socket(stream).shutdown(tcp::socket::shutdown_both, ignored);
    Socket(stream).close(ignored);
}

std::string PeerOf(tcp::socket& socket) {
    beast::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    if (error)
        return "?";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

Request ToRequest(const http::request<http::string_body>& message, const std::string& peer) {
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

http::response<http::string_body> ToMessage(const Response& response, unsigned version,
                                            bool keepAlive) {
    http::response<http::string_body> message{static_cast<http::status>(response.status), version};
    message.set(http::field::server, kServerName);
    message.set(http::field::content_type, response.contentType);
    message.set(http::field::cache_control, "no-store");
    for (const auto& [name, value] : response.headers)
        message.set(name, value);
    message.body() = response.body;
    message.keep_alive(keepAlive);
    message.prepare_payload();
    return message;
}

// Closes a stream session whose write has not finished in kWriteTimeout. An expiry already
// on its way when the write finished is recognised by its number and ignored.
class WriteWatch {
  public:
    template <typename Executor>
    explicit WriteWatch(const Executor& executor) : timer_(executor) {}
    // onExpiry(serial) is called when the time is up; it acts only if Current(serial).
    template <typename OnExpiry>
    void Arm(OnExpiry onExpiry) {
        const std::uint64_t serial = ++serial_;
        armed_ = true;
        timer_.expires_after(kWriteTimeout);
        timer_.async_wait([onExpiry, serial](beast::error_code error) {
            if (!error)
                onExpiry(serial);
        });
    }
    bool Current(std::uint64_t serial) const { return armed_ && serial == serial_; }
    void Disarm() {
        armed_ = false;
        timer_.cancel();
    }

  private:
    net::steady_timer timer_;
    std::uint64_t serial_ = 0;
    bool armed_ = false;
};

// ---------------------------------------------------------------------------------------
// Server-Sent Events: the answer's header, then events as the hub hands them out, a comment
// as heartbeat, and at the end (a client dropped for falling behind) an error event that
// says why.
template <typename Stream>
class EventStreamSession : public std::enable_shared_from_this<EventStreamSession<Stream>> {
  public:
    EventStreamSession(Shared& shared, Stream stream, ConnectionSlot slot, StreamStart start,
                       std::string peer)
        : shared_(shared),
          stream_(std::move(stream)),
          slot_(std::move(slot)),
          start_(std::move(start)),
          peer_(std::move(peer)),
          heartbeat_(stream_.get_executor()),
          watch_(stream_.get_executor()) {
        ++shared_.counters.eventStreams;
    }
    ~EventStreamSession() {
        if (client_)
            shared_.hub.Leave(*client_);
        --shared_.counters.eventStreams;
    }

    void Run() {
        beast::get_lowest_layer(stream_).expires_never();
        BoundSendBuffer(stream_, shared_.settings.streamSendBuffer);
        std::weak_ptr<EventStreamSession> weak = this->shared_from_this();
        auto executor = stream_.get_executor();
        auto mailbox = shared_.mailbox;
        client_ = shared_.hub.Join(start_.after, start_.progress, [weak, executor, mailbox] {
            mailbox->Post(executor, [weak] {
                if (auto self = weak.lock())
                    self->Pump();
            });
        });
        Log(Priority::Debug, peer_ + " " + start_.client + ": event stream from " +
                                 (start_.after ? std::to_string(*start_.after) : "now"));
        out_ = std::string("HTTP/1.1 200 OK\r\nServer: ") + std::string(kServerName) +
               "\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
               "Connection: close\r\nX-Accel-Buffering: no\r\n\r\n" +
               SseStart(kReconnectDelay);
        Write();
        Beat();
        WatchPeer();
    }

  private:
    void Pump() {
        if (writing_ || closed_)
            return;
        EventHub::Batch batch = shared_.hub.Take(*client_);
        if (batch.dropped) {
            if (*batch.dropped == "left")
                return Close();
            Log(Priority::Notice,
                peer_ + " " + start_.client + ": event stream dropped (" + *batch.dropped + ")");
            out_ = SseError(*batch.dropped, DropMessage(*batch.dropped));
            closing_ = true;
            return Write();
        }
        if (batch.events.empty()) {
            if (!batch.live)
                net::post(stream_.get_executor(),
                          [self = this->shared_from_this()] { self->Pump(); });
            return;
        }
        out_.clear();
        for (const EventPointer& event : batch.events)
            AppendSseEvent(out_, *event);
        Write();
    }

    void Write() {
        writing_ = true;
        std::weak_ptr<EventStreamSession> weak = this->shared_from_this();
        watch_.Arm([weak](std::uint64_t serial) {
            if (auto self = weak.lock(); self && self->watch_.Current(serial))
                self->Close();
        });
        net::async_write(stream_, net::buffer(out_),
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             self->OnWrite(error);
                         });
    }

    void OnWrite(beast::error_code error) {
        writing_ = false;
        watch_.Disarm();
        if (error || closing_)
            return Close();
        Pump();
    }

    void Beat() {
        heartbeat_.expires_after(shared_.settings.heartbeat);
        heartbeat_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (error || self->closed_)
                return;
            if (!self->writing_) {
                self->out_ = SseComment("heartbeat");
                self->Write();
            }
            self->Beat();
        });
    }

    // The client sends nothing on an event stream: a read ends when it leaves.
    void WatchPeer() {
        stream_.async_read_some(net::buffer(peerBytes_), [self = this->shared_from_this()](
                                                             beast::error_code error, std::size_t) {
            if (error)
                return self->Close();
            self->WatchPeer();
        });
    }

    void Close() {
        if (closed_)
            return;
        closed_ = true;
        heartbeat_.cancel();
        watch_.Disarm();
        if (client_)
            shared_.hub.Leave(*client_);
        CloseSocket(stream_);
    }

    Shared& shared_;
    Stream stream_;
    ConnectionSlot slot_;
    StreamStart start_;
    std::string peer_;
    net::steady_timer heartbeat_;
    WriteWatch watch_;
    std::shared_ptr<EventClient> client_;
    std::string out_;
    std::array<char, 512> peerBytes_{};
    bool writing_ = false;
    bool closing_ = false;
    bool closed_ = false;
};

// ---------------------------------------------------------------------------------------
// WebSocket: the same events, one text message each; pings as heartbeat; a dropped client
// gets a close frame with the reason.
template <typename Stream>
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession<Stream>> {
  public:
    WebSocketSession(Shared& shared, Stream stream, ConnectionSlot slot, StreamStart start,
                     std::string peer)
        : shared_(shared),
          ws_(std::move(stream)),
          slot_(std::move(slot)),
          start_(std::move(start)),
          peer_(std::move(peer)),
          heartbeat_(ws_.get_executor()),
          watch_(ws_.get_executor()) {
        ++shared_.counters.webSockets;
    }
    ~WebSocketSession() {
        if (client_)
            shared_.hub.Leave(*client_);
        --shared_.counters.webSockets;
    }

    void Run(http::request<http::string_body> request) {
        beast::get_lowest_layer(ws_).expires_never();
        BoundSendBuffer(ws_.next_layer(), shared_.settings.streamSendBuffer);
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = shared_.settings.requestTimeout;
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, kServerName);
        }));
        ws_.text(true);
        ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
            if (error)
                return self->Close();
            self->Started();
        });
    }

  private:
    void Started() {
        std::weak_ptr<WebSocketSession> weak = this->shared_from_this();
        auto executor = ws_.get_executor();
        auto mailbox = shared_.mailbox;
        client_ = shared_.hub.Join(start_.after, start_.progress, [weak, executor, mailbox] {
            mailbox->Post(executor, [weak] {
                if (auto self = weak.lock())
                    self->Pump();
            });
        });
        Log(Priority::Debug, peer_ + " " + start_.client + ": WebSocket from " +
                                 (start_.after ? std::to_string(*start_.after) : "now"));
        Beat();
        Read();
        Pump();
    }

    void Pump() {
        if (writing_ || closed_)
            return;
        if (pending_.empty()) {
            EventHub::Batch batch = shared_.hub.Take(*client_);
            if (batch.dropped) {
                if (*batch.dropped == "left")
                    return Close();
                Log(Priority::Notice,
                    peer_ + " " + start_.client + ": WebSocket dropped (" + *batch.dropped + ")");
                return Goodbye(websocket::close_code::try_again_later, DropMessage(*batch.dropped));
            }
            if (batch.events.empty()) {
                if (!batch.live)
                    net::post(ws_.get_executor(),
                              [self = this->shared_from_this()] { self->Pump(); });
                return;
            }
            pending_.assign(batch.events.begin(), batch.events.end());
        }
        current_ = pending_.front();
        pending_.pop_front();
        writing_ = true;
        Arm();
        ws_.async_write(net::buffer(current_->json),
                        [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                            self->writing_ = false;
                            self->watch_.Disarm();
                            if (error)
                                return self->Close();
                            self->Pump();
                        });
    }

    void Goodbye(websocket::close_code code, const std::string& reason) {
        writing_ = true;
        Arm();
        // A close frame's reason holds at most 123 bytes.
        websocket::close_reason why(code, reason.substr(0, 123));
        ws_.async_close(why,
                        [self = this->shared_from_this()](beast::error_code) { self->Close(); });
    }

    void Arm() {
        std::weak_ptr<WebSocketSession> weak = this->shared_from_this();
        watch_.Arm([weak](std::uint64_t serial) {
            if (auto self = weak.lock(); self && self->watch_.Current(serial))
                self->Close();
        });
    }

    void Beat() {
        heartbeat_.expires_after(shared_.settings.heartbeat);
        heartbeat_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (error || self->closed_)
                return;
            if (!self->writing_) {
                self->writing_ = true;
                self->Arm();
                self->ws_.async_ping({}, [self](beast::error_code error) {
                    self->writing_ = false;
                    self->watch_.Disarm();
                    if (error)
                        return self->Close();
                    self->Pump();
                });
            }
            self->Beat();
        });
    }

    // Reads to answer the peer's pings and see its close; what it sends otherwise is ignored.
    void Read() {
        ws_.async_read(incoming_,
                       [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                           if (error)
                               return self->Close();
                           self->incoming_.consume(self->incoming_.size());
                           self->Read();
                       });
    }

    void Close() {
        if (closed_)
            return;
        closed_ = true;
        heartbeat_.cancel();
        watch_.Disarm();
        if (client_)
            shared_.hub.Leave(*client_);
        CloseSocket(ws_.next_layer());
    }

    Shared& shared_;
    websocket::stream<Stream> ws_;
    ConnectionSlot slot_;
    StreamStart start_;
    std::string peer_;
    net::steady_timer heartbeat_;
    WriteWatch watch_;
    std::shared_ptr<EventClient> client_;
    std::deque<EventPointer> pending_;
    EventPointer current_;
    beast::flat_buffer incoming_;
    bool writing_ = false;
    bool closed_ = false;
};

// ---------------------------------------------------------------------------------------
// Requests: read one (within the time-out and the size limits), answer it, read the next.
template <typename Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
  public:
    HttpSession(Shared& shared, Stream stream, ConnectionSlot slot, bool refuse)
        : shared_(shared),
          stream_(std::move(stream)),
          slot_(std::move(slot)),
          refuse_(refuse),
          timer_(stream_.get_executor()) {
        peer_ = PeerOf(Socket(stream_));
        ++shared_.counters.requestConnections;
    }
    ~HttpSession() {
        if (counted_)
            --shared_.counters.requestConnections;
    }

    void Run() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            StartTimer();
            stream_.async_handshake(
                net::ssl::stream_base::server,
                [self = this->shared_from_this()](beast::error_code error) {
                    self->StopTimer();
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
    // The request's time-out. An expiry already on its way when the read finished is
    // recognised by its number and ignored, so that it cannot cut the next exchange short.
    void StartTimer() {
        timedOut_ = false;
        const std::uint64_t serial = ++timerSerial_;
        timer_.expires_after(shared_.settings.requestTimeout);
        timer_.async_wait([self = this->shared_from_this(), serial](beast::error_code error) {
            if (error || serial != self->timerSerial_)
                return;
            self->timedOut_ = true;
            beast::error_code ignored;
            Socket(self->stream_).cancel(ignored);
        });
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(shared_.settings.headerLimit));
        parser_->body_limit(shared_.settings.bodyLimit);
        beast::get_lowest_layer(stream_).expires_never();
        StartTimer();
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             self->OnRead(error);
                         });
    }

    void StopTimer() {
        ++timerSerial_;
        timer_.cancel();
    }

    void OnRead(beast::error_code error) {
        StopTimer();
        if (timedOut_) {
            // Silence between requests is a client that keeps its connection: it goes quietly.
            if (!parser_->got_some())
                return Shutdown();
            return Fail(408, "request-timeout", "the request did not arrive whole in time");
        }
        if (error == http::error::end_of_stream || error == net::error::eof ||
            error == net::error::connection_reset) {
            return Shutdown();
        }
        if (error == http::error::body_limit) {
            return Fail(
                413, "body-too-large",
                "the body is over " + std::to_string(shared_.settings.bodyLimit / 1024) + " KiB");
        }
        if (error == http::error::header_limit) {
            return Fail(431, "header-too-large",
                        "the request's header is over " +
                            std::to_string(shared_.settings.headerLimit / 1024) + " KiB");
        }
        if (error &&
            &error.category() == &http::make_error_code(http::error::bad_method).category()) {
            return Fail(400, "bad-request", "this is not an HTTP request: " + error.message());
        }
        if (error)
            return Shutdown();

        request_ = parser_->release();
        if (refuse_) {
            ++shared_.counters.refused;
            Response response = ErrorResponse(503, "too-many-connections",
                                              "the server has all the connections it takes; try "
                                              "again in a moment");
            response.SetHeader("Retry-After", "1");
            return Send(response, false);
        }
        const Request request = ToRequest(request_, peer_);
        std::weak_ptr<HttpSession> weak = this->shared_from_this();
        shared_.waiting.Add(this->shared_from_this());
        auto executor = stream_.get_executor();
        auto mailbox = shared_.mailbox;
        shared_.api.Handle(request, [weak, executor, mailbox](Response response) {
            mailbox->Post(executor, [weak, response = std::move(response)]() mutable {
                if (auto self = weak.lock())
                    self->OnAnswer(std::move(response));
            });
        });
    }

    void OnAnswer(Response response) {
        shared_.waiting.Remove(this);
        Log(Priority::Debug, peer_ + " " + std::string(request_.method_string()) + " " +
                                 std::string(request_.target()) + " " +
                                 std::to_string(response.stream ? 200 : response.status));
        if (response.stream)
            return StartStream(std::move(*response.stream));
        Send(response, request_.keep_alive());
    }

    void StartStream(StreamStart start) {
        shared_.counters.CountResponse(websocket::is_upgrade(request_) ? 101 : 200);
        counted_ = false;
        --shared_.counters.requestConnections;
        if (websocket::is_upgrade(request_)) {
            std::make_shared<WebSocketSession<Stream>>(shared_, std::move(stream_),
                                                       std::move(slot_), std::move(start), peer_)
                ->Run(std::move(request_));
        } else {
            std::make_shared<EventStreamSession<Stream>>(shared_, std::move(stream_),
                                                         std::move(slot_), std::move(start), peer_)
                ->Run();
        }
    }

    void Fail(int status, std::string_view code, const std::string& message) {
        Log(Priority::Debug, peer_ + ": " + std::to_string(status) + " " + message);
        Send(ErrorResponse(status, code, message), false);
    }

    void Send(const Response& response, bool keepAlive) {
        shared_.counters.CountResponse(response.status);
        response_ = ToMessage(response, request_.version() ? request_.version() : 11, keepAlive);
        beast::get_lowest_layer(stream_).expires_after(kWriteTimeout);
        http::async_write(
            stream_, response_,
            [self = this->shared_from_this(), keepAlive](beast::error_code error, std::size_t) {
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
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
                CloseSocket(self->stream_);
            });
        } else {
            beast::error_code ignored;
            Socket(stream_).shutdown(tcp::socket::shutdown_send, ignored);
            beast::get_lowest_layer(stream_).expires_after(kLinger);
            Drain();
        }
    }

    void Drain() {
        stream_.async_read_some(net::buffer(drain_), [self = this->shared_from_this()](
                                                         beast::error_code error, std::size_t) {
            if (error)
                return CloseSocket(self->stream_);
            self->Drain();
        });
    }

    Shared& shared_;
    Stream stream_;
    ConnectionSlot slot_;
    bool refuse_;
    bool counted_ = true;
    std::string peer_;
    net::steady_timer timer_;
    std::uint64_t timerSerial_ = 0;
    bool timedOut_ = false;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    http::response<http::string_body> response_;
    std::array<char, 4096> drain_{};
};

}  // namespace

void StartSession(Shared& shared, tcp::socket socket, ConnectionSlot slot, bool refuse) {
    if (shared.tls != nullptr) {
        std::make_shared<HttpSession<TlsStream>>(
            shared, TlsStream(PlainStream(std::move(socket)), *shared.tls), std::move(slot), refuse)
            ->Run();
    } else {
        std::make_shared<HttpSession<PlainStream>>(shared, PlainStream(std::move(socket)),
                                                   std::move(slot), refuse)
            ->Run();
    }
}

}  // namespace fuel::server
