#include "server/Server.h"

#include "forecourt/Forecourt.h"
#include "http/Listener.h"
#include "server/Api.h"
#include "server/EventHub.h"
#include "server/Tokens.h"

namespace fuel::server {

struct Server::State {
    State(const ServerSettings& s, forecourt::Forecourt& f, Tokens& t)
        : settings(s), forecourt(f), tokens(t) {}

    ServerSettings settings;
    forecourt::Forecourt& forecourt;
    Tokens& tokens;
    http::ServerCounters counters;
    // Declared before the listener so that they are destroyed after it: the sessions that
    // end with the listener leave the hub as they go.
    std::unique_ptr<EventHub> hub;
    std::unique_ptr<Api> api;
    std::unique_ptr<http::Listener> listener;
    forecourt::Subscription subscription;
    bool running = false;
};

Server::Server(const ServerSettings& settings, forecourt::Forecourt& forecourt, Tokens& tokens)
    : state_(std::make_unique<State>(settings, forecourt, tokens)) {}

Server::~Server() {
    Stop();
}

void Server::Start() {
    State& s = *state_;
    if (s.running)
        return;
    // The hub starts at the journal's last event and hears every one after it.
    const forecourt::Sequence horizon = s.forecourt.GetJournal().LastSequence();
    forecourt::Forecourt* forecourt = &s.forecourt;
    s.hub = std::make_unique<EventHub>(
        [forecourt](forecourt::Sequence after, std::size_t limit) {
            return forecourt->EventsAfter(after, limit);
        },
        horizon, HubSettings{1024, s.settings.clientQueue, 256});
    s.api = std::make_unique<Api>(Context{s.forecourt, s.tokens, s.counters, s.hub.get()});
    Api* api = s.api.get();
    s.listener = std::make_unique<http::Listener>(
        s.settings,
        [api](const http::Request& request, http::Respond respond) {
            api->Handle(request, std::move(respond));
        },
        *s.hub, s.counters);
    s.listener->Start();

    EventHub* hub = s.hub.get();
    s.subscription = s.forecourt.Subscribe(
        horizon, [hub](const forecourt::Event& event) { hub->Publish(event); }, true);
    s.running = true;
}

std::uint16_t Server::Port() const {
    return state_->listener ? state_->listener->Port() : 0;
}

void Server::Stop() {
    State& s = *state_;
    if (!s.running)
        return;
    s.running = false;
    s.subscription.Cancel();
    s.listener->Stop();
}

const http::ServerCounters& Server::Counters() const {
    return state_->counters;
}

}  // namespace fuel::server
