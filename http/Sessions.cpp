// The sessions' one translation unit: Beast's templates are compiled here, once for plain
// and once for TLS connections, and nowhere else but the listener.
#include "http/session/HttpSession.h"

namespace fuel::http {

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

bool StreamRegistry::Add(const std::shared_ptr<StreamSession>& stream) {
    std::lock_guard lock(mutex_);
    streams_.emplace_back(stream.get(), stream);
    return !stopping_;
}

void StreamRegistry::Remove(const StreamSession* stream) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(streams_, [stream](const auto& entry) { return entry.first == stream; });
    }
    gone_.notify_all();
}

void StreamRegistry::Shutdown(std::chrono::milliseconds wait) {
    std::vector<std::shared_ptr<StreamSession>> streams;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const auto& [stream, weak] : streams_) {
            if (auto alive = weak.lock())
                streams.push_back(std::move(alive));
        }
    }
    for (const auto& stream : streams)
        stream->Shutdown();
    // Released before the wait, so that a stream that has said goodbye can go.
    streams.clear();
    std::unique_lock lock(mutex_);
    gone_.wait_for(lock, wait, [this] { return streams_.empty(); });
}

void StartSession(ListenerState& state, tcp::socket socket, ConnectionSlot slot) {
    if (state.tls != nullptr) {
        std::make_shared<HttpSession<TlsStream>>(
            state, TlsStream(PlainStream(std::move(socket)), *state.tls), std::move(slot))
            ->Run();
    } else {
        std::make_shared<HttpSession<PlainStream>>(state, PlainStream(std::move(socket)),
                                                   std::move(slot))
            ->Run();
    }
}

void RefuseConnection(ListenerState& state, tcp::socket socket) {
    ++state.counters.refused;
    if (state.tls != nullptr) {
        beast::error_code ignored;
        socket.close(ignored);
        return;
    }
    state.counters.CountResponse(503);
    std::make_shared<Refusal>(std::move(socket), state.settings.serverName)->Run();
}

}  // namespace fuel::http
