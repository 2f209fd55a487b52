#include "testing/HttpClient.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

namespace fuel::test {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

const tcp::endpoint Loopback(std::uint16_t port) {
    return {net::ip::make_address("127.0.0.1"), port};
}

// Runs the io_context until `done` or until `wait` has passed; on a time-out the socket is
// closed and the handlers are let finish, so that none outlives what it refers to.
void RunUntil(net::io_context& io, const bool& done, Milliseconds wait, tcp::socket& socket) {
    io.restart();
    io.run_for(wait);
    if (!done) {
        beast::error_code ignored;
        socket.close(ignored);
        io.restart();
        io.run();
    }
}

template <typename Stream>
HttpAnswer Exchange(net::io_context& io, Stream& stream, beast::flat_buffer& buffer,
                    const std::string& method, const std::string& target, const Headers& headers,
                    const std::string& body, Milliseconds timeout) {
    HttpAnswer answer;
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    if (request.method() == http::verb::unknown)
        request.method_string(method);
    request.set(http::field::host, "127.0.0.1");
    for (const auto& [name, value] : headers)
        request.set(name, value);
    request.body() = body;
    if (!body.empty() || method == "POST" || method == "PUT")
        request.prepare_payload();
    http::response<http::string_body> response;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    beast::error_code error;
    beast::get_lowest_layer(stream).expires_after(timeout);
    http::async_write(stream, request, [&](beast::error_code e, std::size_t) {
        error = e;
        if (error)
            return;
        http::async_read(stream, buffer, parser,
                         [&](beast::error_code e2, std::size_t) { error = e2; });
    });
    io.restart();
    io.run();
    if (error) {
        answer.error = error.message();
        return answer;
    }
    const auto& message = parser.get();
    answer.status = static_cast<int>(message.result_int());
    for (const auto& field : message) {
        answer.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    answer.body = message.body();
    return answer;
}

}  // namespace

std::string HttpAnswer::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (SameLetters(key, name))
            return value;
    }
    return "";
}

nlohmann::json HttpAnswer::Json() const {
    return nlohmann::json::parse(body, nullptr, false);
}

// ---- HttpClient

struct HttpClient::Connection {
    net::io_context io;
    net::ssl::context ssl{net::ssl::context::tls_client};
    std::optional<beast::tcp_stream> plain;
    std::optional<beast::ssl_stream<beast::tcp_stream>> secure;
    beast::flat_buffer buffer;
};

HttpClient::HttpClient(std::uint16_t port, bool tls, Milliseconds timeout)
    : port_(port), tls_(tls), timeout_(timeout) {}

HttpClient::~HttpClient() = default;

HttpAnswer HttpClient::Send(const std::string& method, const std::string& target,
                            const Headers& headers, const std::string& body) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = connection_ != nullptr;
        if (!connection_) {
            connection_ = std::make_unique<Connection>();
            Connection& c = *connection_;
            beast::error_code error;
            if (tls_) {
                c.ssl.set_verify_mode(net::ssl::verify_none);
                c.secure.emplace(c.io, c.ssl);
                beast::get_lowest_layer(*c.secure).expires_after(timeout_);
                beast::get_lowest_layer(*c.secure).socket().connect(Loopback(port_), error);
                if (!error)
                    c.secure->handshake(net::ssl::stream_base::client, error);
            } else {
                c.plain.emplace(c.io);
                c.plain->socket().connect(Loopback(port_), error);
            }
            if (error) {
                connection_.reset();
                HttpAnswer failed;
                failed.error = error.message();
                return failed;
            }
        }
        Connection& c = *connection_;
        HttpAnswer answer =
            tls_ ? Exchange(c.io, *c.secure, c.buffer, method, target, headers, body, timeout_)
                 : Exchange(c.io, *c.plain, c.buffer, method, target, headers, body, timeout_);
        const bool keep = answer.status != 0 && !SameLetters(answer.Header("Connection"), "close");
        if (!keep)
            connection_.reset();
        // A kept connection the server has since closed: once more on a new one.
        if (answer.status == 0 && reused)
            continue;
        return answer;
    }
    HttpAnswer failed;
    failed.error = "no answer";
    return failed;
}

std::string RawExchange(std::uint16_t port, const std::string& bytes, Milliseconds wait,
                        bool shutSending) {
    net::io_context io;
    tcp::socket socket(io);
    beast::error_code error;
    socket.connect(Loopback(port), error);
    if (error)
        return "";
    net::write(socket, net::buffer(bytes), error);
    if (shutSending)
        socket.shutdown(tcp::socket::shutdown_send, error);
    std::string received;
    std::array<char, 4096> chunk{};
    bool done = false;
    std::function<void()> read = [&] {
        socket.async_read_some(net::buffer(chunk), [&](beast::error_code e, std::size_t n) {
            received.append(chunk.data(), n);
            if (e) {
                done = true;
                return;
            }
            read();
        });
    };
    read();
    RunUntil(io, done, wait, socket);
    return received;
}

// ---- EventStreamClient

struct EventStreamClient::Connection {
    net::io_context io;
    beast::tcp_stream stream{io};
    beast::flat_buffer buffer;
};

EventStreamClient::EventStreamClient(std::uint16_t port, const std::string& target,
                                     const Headers& headers)
    : connection_(std::make_unique<Connection>()) {
    Connection& c = *connection_;
    beast::error_code error;
    c.stream.socket().connect(Loopback(port), error);
    if (error) {
        ended_ = true;
        return;
    }
    http::request<http::empty_body> request{http::verb::get, target, 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::accept, "text/event-stream");
    for (const auto& [name, value] : headers)
        request.set(name, value);
    http::write(c.stream, request, error);
    http::response_parser<http::string_body> parser;
    bool done = false;
    http::async_read_header(c.stream, c.buffer, parser, [&](beast::error_code e, std::size_t) {
        error = e;
        done = true;
    });
    RunUntil(c.io, done, Milliseconds(10000), c.stream.socket());
    if (error) {
        ended_ = true;
        return;
    }
    status_ = static_cast<int>(parser.get().result_int());
    if (status_ != 200) {
        done = false;
        http::async_read(c.stream, c.buffer, parser,
                         [&](beast::error_code, std::size_t) { done = true; });
        RunUntil(c.io, done, Milliseconds(10000), c.stream.socket());
        body_ = parser.get().body();
        ended_ = true;
        return;
    }
    // What came with the header is the stream's start.
    pending_ = beast::buffers_to_string(c.buffer.data());
    c.buffer.consume(c.buffer.size());
}

EventStreamClient::~EventStreamClient() = default;

std::optional<SseEvent> EventStreamClient::Next(Milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        // Every complete line, as the standard's parser takes it.
        std::size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty()) {
                SseEvent event = std::move(partial_);
                const bool dispatch = partialHasData_;
                partial_ = SseEvent{};
                partialHasData_ = false;
                if (dispatch) {
                    if (!event.data.empty() && event.data.back() == '\n')
                        event.data.pop_back();
                    return event;
                }
                continue;
            }
            if (line[0] == ':') {
                ++comments_;
                continue;
            }
            const std::size_t colon = line.find(':');
            const std::string field = line.substr(0, colon);
            std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            if (field == "data") {
                partial_.data += value + "\n";
                partialHasData_ = true;
            } else if (field == "event") {
                partial_.type = value;
            } else if (field == "id") {
                partial_.id = std::stoll(value);
                lastId_ = partial_.id;
            }
        }
        if (ended_)
            return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return std::nullopt;
        Connection& c = *connection_;
        std::array<char, 8192> chunk{};
        bool done = false;
        beast::error_code error;
        std::size_t count = 0;
        c.stream.socket().async_read_some(net::buffer(chunk),
                                          [&](beast::error_code e, std::size_t n) {
                                              error = e;
                                              count = n;
                                              done = true;
                                          });
        c.io.restart();
        c.io.run_for(std::chrono::duration_cast<Milliseconds>(deadline - now));
        if (!done) {
            beast::error_code ignored;
            c.stream.socket().cancel(ignored);
            c.io.restart();
            c.io.run();
        }
        pending_.append(chunk.data(), count);
        if (error && error != net::error::operation_aborted)
            ended_ = true;
    }
}

// ---- WebSocketClient

struct WebSocketClient::Connection {
    net::io_context io;
    websocket::stream<beast::tcp_stream> ws{io};
    beast::flat_buffer buffer;
};

WebSocketClient::WebSocketClient(std::uint16_t port, const std::string& target,
                                 const Headers& headers)
    : connection_(std::make_unique<Connection>()) {
    Connection& c = *connection_;
    beast::error_code error;
    beast::get_lowest_layer(c.ws).socket().connect(Loopback(port), error);
    if (error)
        return;
    c.ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& request) {
        for (const auto& [name, value] : headers)
            request.set(name, value);
    }));
    websocket::response_type response;
    c.ws.handshake(response, "127.0.0.1", target, error);
    status_ = static_cast<int>(response.result_int());
    open_ = !error;
}

WebSocketClient::~WebSocketClient() = default;

std::optional<std::string> WebSocketClient::Next(Milliseconds wait) {
    if (!open_)
        return std::nullopt;
    Connection& c = *connection_;
    bool done = false;
    beast::error_code error;
    c.ws.async_read(c.buffer, [&](beast::error_code e, std::size_t) {
        error = e;
        done = true;
    });
    c.io.restart();
    c.io.run_for(wait);
    if (!done) {
        // A WebSocket read cannot be cancelled without ending the stream: the test is over.
        beast::get_lowest_layer(c.ws).socket().close();
        c.io.restart();
        c.io.run();
        open_ = false;
        return std::nullopt;
    }
    if (error) {
        open_ = false;
        closeCode_ = static_cast<int>(c.ws.reason().code);
        closeReason_ = std::string(c.ws.reason().reason.c_str());
        return std::nullopt;
    }
    std::string message = beast::buffers_to_string(c.buffer.data());
    c.buffer.consume(c.buffer.size());
    return message;
}

}  // namespace fuel::test
