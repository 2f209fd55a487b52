// What the listener (Listener.cpp) and the sessions (Sessions.cpp) share. Beast and Asio are
// included here and nowhere else in http/: only those two files include this header (the
// sessions through the other headers of session/, which Sessions.cpp alone includes).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "http/Listener.h"

namespace fuel::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

// A session that waits for an answer from the handler is kept here (and not by the answer
// itself): an answer that comes after the listener has gone must not be the last owner of a
// socket whose io_context no longer exists.
class Waiting {
  public:
    void Add(const std::shared_ptr<void>& session);
    void Remove(const void* session);
    void Clear();

  private:
    std::mutex mutex_;
    std::set<std::shared_ptr<void>> sessions_;
};

// Where answers and wakes from the daemon's threads are handed to a session's strand; closed
// when the listener stops, after which they are dropped. What the daemon keeps of a session
// (in an answer it has not given yet, in a stream's wake) is a weak pointer and this mailbox,
// never the session's executor: an answer given after the listener has gone would otherwise
// destroy an executor whose io_context no longer exists.
class Mailbox {
  public:
    // Runs handler(session) on the session's strand, if the session is still there and the
    // listener has not stopped.
    template <typename Session, typename Handler>
    void Post(const std::weak_ptr<Session>& session, Handler handler) {
        std::lock_guard lock(mutex_);
        if (!open_)
            return;
        if (const auto alive = session.lock()) {
            net::post(alive->Executor(), [session, handler = std::move(handler)]() mutable {
                if (const auto self = session.lock())
                    handler(*self);
            });
        }
    }
    void Close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }

  private:
    std::mutex mutex_;
    bool open_ = true;
};

// The connections open now, in all and by the peer's address, against the listener's two
// limits. A connection refused is not counted: it is answered and closed at once.
class Connections {
  public:
    Connections(std::size_t total, std::size_t perPeer) : total_(total), perPeer_(perPeer) {}
    // Counts a connection from `peer` when both limits allow it.
    bool Open(const std::string& peer) {
        std::lock_guard lock(mutex_);
        std::size_t& mine = byPeer_[peer];
        if (open_ >= total_ || mine >= perPeer_) {
            if (mine == 0)
                byPeer_.erase(peer);
            return false;
        }
        ++mine;
        ++open_;
        return true;
    }
    void Close(const std::string& peer) {
        std::lock_guard lock(mutex_);
        const auto it = byPeer_.find(peer);
        if (it != byPeer_.end() && --it->second == 0)
            byPeer_.erase(it);
        --open_;
    }

  private:
    std::mutex mutex_;
    std::size_t total_;
    std::size_t perPeer_;
    std::size_t open_ = 0;
    std::map<std::string, std::size_t> byPeer_;
};

// A connection's place in Connections, from its accept to its end, whichever session holds
// it.
class ConnectionSlot {
  public:
    ConnectionSlot(Connections& connections, std::string peer)
        : connections_(&connections), peer_(std::move(peer)) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : connections_(other.connections_), peer_(std::move(other.peer_)) {
        other.connections_ = nullptr;
    }
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (connections_ != nullptr)
            connections_->Close(peer_);
    }

  private:
    Connections* connections_;
    std::string peer_;
};

class StreamSession;

// The event streams open now, so that a stopping listener can tell each that the server
// stops and wait, a short while, until they have gone.
class StreamRegistry {
  public:
    // False once the listener stops: the stream is to say goodbye at once.
    bool Add(const std::shared_ptr<StreamSession>& stream);
    void Remove(const StreamSession* stream);
    // Tells every stream, now and from now on, to say goodbye; returns when every one has
    // gone or `wait` has passed.
    void Shutdown(std::chrono::milliseconds wait);

  private:
    std::mutex mutex_;
    std::condition_variable gone_;
    std::vector<std::pair<const StreamSession*, std::weak_ptr<StreamSession>>> streams_;
    bool stopping_ = false;
};

// What every session of one listener shares.
struct ListenerState {
    ListenerState(const ListenerSettings& s, RequestHandler h, StreamSource& source,
                  ServerCounters& c, net::ssl::context* t)
        : settings(s),
          handle(std::move(h)),
          source(source),
          counters(c),
          tls(t),
          connections(s.maxConnections, s.maxConnectionsPerPeer) {}

    const ListenerSettings& settings;
    RequestHandler handle;
    StreamSource& source;
    ServerCounters& counters;
    net::ssl::context* tls;  // none: plain HTTP
    Connections connections;
    Waiting waiting;
    StreamRegistry streams;
    std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
};

// Runs a connection: TLS handshake when configured, then requests until the peer leaves,
// a request fails, or the connection becomes an event stream.
void StartSession(ListenerState& state, tcp::socket socket, ConnectionSlot slot);
// A connection over a limit: answered 503 at once without waiting for its request (closed at
// once under TLS, where an answer would need the handshake first), then closed.
void RefuseConnection(ListenerState& state, tcp::socket socket);

// ---- For the sessions.

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// A write that does not finish in this time has a peer that stopped reading: it is closed.
inline constexpr auto kWriteTimeout = std::chrono::seconds(60);

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

}  // namespace fuel::http
