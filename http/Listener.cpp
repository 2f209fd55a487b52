#include "http/Listener.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "http/Log.h"
#include "http/session/Network.h"

namespace fuel::http {
namespace {

// How long a stopping listener gives its event streams to say goodbye and go. A client that
// reads nothing would otherwise hold the stop up for as long as its write is watched.
constexpr auto kGoodbyeTime = std::chrono::milliseconds(2000);
// How long a listener out of descriptors waits before it tries to take a connection again.
constexpr auto kStarvedPause = std::chrono::milliseconds(500);

// The threads that answer clients run a few steps nicer than the rest of the process, so that
// on a busy machine the threads that poll the pumps get the processor first: a flood of
// requests stretches the answers, never the poll cycle. Linux keeps the nice value per thread.
void BehindTheLines() {
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, thread, std::min(current + 5, 19));
}

}  // namespace

struct Listener::State {
    State(const ListenerSettings& s, RequestHandler h, StreamSource& source, ServerCounters& c)
        : settings(s), handler(std::move(h)), source(source), counters(c) {}

    ListenerSettings settings;
    RequestHandler handler;
    StreamSource& source;
    ServerCounters& counters;
    std::unique_ptr<net::ssl::context> tls;
    // Declared before the io_context so that they are destroyed after it: the sessions that
    // the io_context's destruction ends still reach them.
    std::unique_ptr<ListenerState> shared;
    net::io_context io;
    std::optional<tcp::acceptor> acceptor;
    std::optional<net::steady_timer> pause;  // on the acceptor's strand, as `starved` is
    bool starved = false;
    std::vector<std::thread> threads;
    std::uint16_t port = 0;
    bool running = false;

    void LoadTls() {
        tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                         net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
        // On 1.2 only forward-secret AEAD suites, and ours the order that counts: a client
        // that lists an old suite first does not get it.
        SSL_CTX* native = tls->native_handle();
        if (SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1)
            throw std::runtime_error("OpenSSL takes none of the TLS 1.2 cipher suites");
        SSL_CTX_set_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE);
        beast::error_code error;
        tls->use_certificate_chain_file(settings.tlsCertificate.string(), error);
        if (error) {
            throw std::runtime_error("cannot load the certificate " +
                                     settings.tlsCertificate.string() + ": " + error.message());
        }
        tls->use_private_key_file(settings.tlsKey.string(), net::ssl::context::pem, error);
        if (error) {
            throw std::runtime_error("cannot load the key " + settings.tlsKey.string() + ": " +
                                     error.message());
        }
    }

    net::ip::address Bind() {
        beast::error_code error;
        const auto address = net::ip::make_address(
            settings.host == "localhost" ? "127.0.0.1" : settings.host, error);
        if (error)
            throw std::runtime_error("cannot listen on " + settings.host + ": not an address");
        const tcp::endpoint endpoint(address, settings.port);
        // On a strand of its own, so that Stop may close it while the threads run.
        acceptor.emplace(net::make_strand(io));
        pause.emplace(acceptor->get_executor());
        acceptor->open(endpoint.protocol(), error);
        if (!error)
            acceptor->set_option(net::socket_base::reuse_address(true), error);
        if (!error)
            acceptor->bind(endpoint, error);
        if (!error)
            acceptor->listen(net::socket_base::max_listen_connections, error);
        if (error) {
            acceptor.reset();
            throw std::runtime_error("cannot listen on " + settings.host + ":" +
                                     std::to_string(settings.port) + ": " + error.message());
        }
        port = acceptor->local_endpoint().port();
        return address;
    }

    void Accept() {
        acceptor->async_accept(
            net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
                if (error == net::error::operation_aborted || !acceptor->is_open())
                    return;
                if (error && OutOfResources(error))
                    return Starve(error);
                if (error) {
                    // A connection that went before it was taken: the next one is.
                    Log(Priority::Debug, "accept: " + error.message());
                } else {
                    if (starved) {
                        starved = false;
                        Log(Priority::Notice, "accepting connections again");
                    }
                    Admit(std::move(socket));
                }
                Accept();
            });
    }

    static bool OutOfResources(const beast::error_code& error) {
        return error == net::error::no_descriptors || error == net::error::no_buffer_space ||
               error == net::error::no_memory ||
               error == beast::errc::too_many_files_open_in_system;
    }

    // Out of descriptors (or memory): the connection waits in the backlog, and so would
    // every accept until something closes. So the listener stops taking for a while rather
    // than asking again and again; the connections already open go on, and their closing is
    // what lets it take again. Said once, not at every try.
    void Starve(const beast::error_code& error) {
        if (!starved) {
            starved = true;
            Log(Priority::Warning, "accept: " + error.message() + ": taking no connections for " +
                                       std::to_string(kStarvedPause.count()) +
                                       " ms at a time until some close");
        }
        pause->expires_after(kStarvedPause);
        pause->async_wait([this](beast::error_code waited) {
            if (waited || !acceptor->is_open())
                return;
            Accept();
        });
    }

    void Admit(tcp::socket socket) {
        beast::error_code error;
        const auto endpoint = socket.remote_endpoint(error);
        if (error)
            return;  // gone already
        std::string peer = endpoint.address().to_string();
        if (!shared->connections.Open(peer))
            return RefuseConnection(*shared, std::move(socket));
        StartSession(*shared, std::move(socket),
                     ConnectionSlot(shared->connections, std::move(peer)));
    }

    // A process that may open fewer files than its connections need runs out of them with
    // connections that the limit allows: raised as far as the hard limit lets, and said when
    // that is not enough.
    void CheckDescriptors() const {
        const std::size_t needed = settings.maxConnections + kDescriptorReserve;
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
            limit.rlim_cur >= needed) {
            return;
        }
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? needed : std::min<rlim_t>(needed, limit.rlim_max);
        if (raised.rlim_cur > limit.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
        if (limit.rlim_cur < needed) {
            Log(Priority::Warning, "the process may open " + std::to_string(limit.rlim_cur) +
                                       " files, fewer than " +
                                       std::to_string(settings.maxConnections) +
                                       " connections and " + std::to_string(kDescriptorReserve) +
                                       " others need: beyond, connections wait until some close");
        }
    }
};

Listener::Listener(const ListenerSettings& settings, RequestHandler handler, StreamSource& source,
                   ServerCounters& counters)
    : state_(std::make_unique<State>(settings, std::move(handler), source, counters)) {}

Listener::~Listener() {
    Stop();
    // Sessions still waiting for the handler end here, while the io_context exists.
    if (state_->shared)
        state_->shared->waiting.Clear();
}

void Listener::Start() {
    State& s = *state_;
    if (s.running)
        return;
    if (!s.settings.Tls() && !s.settings.insecure && !IsLoopback(s.settings.host)) {
        throw UsageError("refusing plain HTTP on " + s.settings.host +
                         ", which is not a loopback address");
    }
    if (s.settings.Tls())
        s.LoadTls();
    s.shared =
        std::make_unique<ListenerState>(s.settings, s.handler, s.source, s.counters, s.tls.get());
    s.CheckDescriptors();
    const net::ip::address address = s.Bind();
    s.Accept();
    for (int i = 0; i < s.settings.threads; ++i)
        s.threads.emplace_back([&io = s.io] {
            BehindTheLines();
            io.run();
        });
    s.running = true;
    Log(Priority::Info, std::string("listening on ") + (s.settings.Tls() ? "https://" : "http://") +
                            (address.is_v6() ? "[" + s.settings.host + "]" : s.settings.host) +
                            ":" + std::to_string(s.port));
}

std::uint16_t Listener::Port() const {
    return state_->port;
}

void Listener::Stop() {
    State& s = *state_;
    if (!s.running)
        return;
    s.running = false;
    net::post(s.acceptor->get_executor(), [&s] {
        beast::error_code ignored;
        s.acceptor->close(ignored);
        s.pause->cancel();
    });
    s.shared->mailbox->Close();
    s.shared->streams.Shutdown(kGoodbyeTime);
    s.io.stop();
    for (std::thread& thread : s.threads)
        thread.join();
    s.threads.clear();
    beast::error_code ignored;
    s.acceptor->close(ignored);
}

}  // namespace fuel::http
