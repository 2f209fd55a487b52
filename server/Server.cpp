#include "server/Server.h"

#include <stdexcept>
#include <thread>
#include <vector>

#include "forecourt/Forecourt.h"
#include "server/Log.h"
#include "server/Network.h"
#include "server/Tokens.h"

namespace fuel::server {

struct Server::State {
    State(const ServerSettings& s, forecourt::Forecourt& f, Tokens& t)
        : settings(s), forecourt(f), tokens(t) {}

    ServerSettings settings;
    forecourt::Forecourt& forecourt;
    Tokens& tokens;
    ServerCounters counters;
    std::unique_ptr<Api> api;
    // Declared before the io_context so that it is destroyed after it: the sessions that
    // the io_context's destruction ends leave the hub as they go.
    std::unique_ptr<EventHub> hub;
    std::unique_ptr<net::ssl::context> tls;
    std::unique_ptr<Shared> shared;
    net::io_context io;
    std::optional<tcp::acceptor> acceptor;
    std::vector<std::thread> threads;
    forecourt::Subscription subscription;
    std::uint16_t port = 0;
    bool running = false;

    void Accept() {
        acceptor->async_accept(
            net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
                if (error == net::error::operation_aborted || !acceptor->is_open())
                    return;
                if (error) {
                    // Out of descriptors, typically: the connections already open go on.
                    Log(Priority::Warning, "accept: " + error.message());
                } else {
                    const bool over = shared->open >= settings.maxConnections;
                    StartSession(*shared, std::move(socket), ConnectionSlot(shared->open), over);
                }
                Accept();
            });
    }
};

Server::Server(const ServerSettings& settings, forecourt::Forecourt& forecourt, Tokens& tokens)
    : state_(std::make_unique<State>(settings, forecourt, tokens)) {}

Server::~Server() {
    Stop();
    // Sessions still waiting for the forecourt end here, while the io_context exists.
    if (state_->shared)
        state_->shared->waiting.Clear();
}

void Server::Start() {
    State& s = *state_;
    if (s.running)
        return;
    if (!s.settings.Tls() && !s.settings.insecure && !IsLoopback(s.settings.host)) {
        throw UsageError("refusing plain HTTP on " + s.settings.host +
                         ", which is not a loopback address");
    }
    if (s.settings.Tls()) {
        s.tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        s.tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                           net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                           net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
        beast::error_code error;
        s.tls->use_certificate_chain_file(s.settings.tlsCertificate.string(), error);
        if (error) {
            throw std::runtime_error("cannot load the certificate " +
                                     s.settings.tlsCertificate.string() + ": " + error.message());
        }
        s.tls->use_private_key_file(s.settings.tlsKey.string(), net::ssl::context::pem, error);
        if (error) {
            throw std::runtime_error("cannot load the key " + s.settings.tlsKey.string() + ": " +
                                     error.message());
        }
    }

    // The hub starts at the journal's last event and hears every one after it.
    const forecourt::Sequence horizon = s.forecourt.GetJournal().LastSequence();
    forecourt::Forecourt* forecourt = &s.forecourt;
    s.hub = std::make_unique<EventHub>(
        [forecourt](forecourt::Sequence after, std::size_t limit) {
            return forecourt->EventsAfter(after, limit);
        },
        horizon, HubSettings{1024, s.settings.clientQueue, 256});
    s.api = std::make_unique<Api>(Context{s.forecourt, s.tokens, s.counters, s.hub.get()});
    s.shared = std::make_unique<Shared>(s.settings, *s.api, *s.hub, s.counters, s.tls.get());

    beast::error_code error;
    const auto address = net::ip::make_address(
        s.settings.host == "localhost" ? "127.0.0.1" : s.settings.host, error);
    if (error)
        throw std::runtime_error("cannot listen on " + s.settings.host + ": not an address");
    const tcp::endpoint endpoint(address, s.settings.port);
    s.acceptor.emplace(s.io);
    s.acceptor->open(endpoint.protocol(), error);
    if (!error)
        s.acceptor->set_option(net::socket_base::reuse_address(true), error);
    if (!error)
        s.acceptor->bind(endpoint, error);
    if (!error)
        s.acceptor->listen(net::socket_base::max_listen_connections, error);
    if (error) {
        s.acceptor.reset();
        throw std::runtime_error("cannot listen on " + s.settings.host + ":" +
                                 std::to_string(s.settings.port) + ": " + error.message());
    }
    s.port = s.acceptor->local_endpoint().port();

    EventHub* hub = s.hub.get();
    s.subscription = s.forecourt.Subscribe(
        horizon, [hub](const forecourt::Event& event) { hub->Publish(event); }, true);

    s.Accept();
    for (int i = 0; i < s.settings.threads; ++i) {
        s.threads.emplace_back([&io = s.io] { io.run(); });
    }
    s.running = true;
    Log(Priority::Info, std::string("listening on ") + (s.settings.Tls() ? "https://" : "http://") +
                            (address.is_v6() ? "[" + s.settings.host + "]" : s.settings.host) +
                            ":" + std::to_string(s.port));
}

std::uint16_t Server::Port() const {
    return state_->port;
}

void Server::Stop() {
    State& s = *state_;
    if (!s.running)
        return;
    s.running = false;
    s.subscription.Cancel();
    s.shared->mailbox->Close();
    s.io.stop();
    for (std::thread& thread : s.threads)
        thread.join();
    s.threads.clear();
    beast::error_code ignored;
    s.acceptor->close(ignored);
}

const ServerCounters& Server::Counters() const {
    return state_->counters;
}

}  // namespace fuel::server
