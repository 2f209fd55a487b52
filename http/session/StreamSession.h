// What the two kinds of event stream (EventStreamSession.h, WebSocketSession.h) have in
// common: joining the stream source, taking its batches and writing each before the next, the
// heartbeat when there is nothing to say, the watch on a write that does not finish, the
// goodbye (dropped by the source, or the server stopping) and the close. A kind writes its
// own way: events, a heartbeat and a goodbye, each ending in Written.
//
// No locks: the session's state is touched only on its strand; wakes from the source's
// threads are posted there.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "http/EventStream.h"
#include "http/Log.h"
#include "http/session/Deadline.h"
#include "http/session/Network.h"

namespace fuel::http {

class StreamSession : public std::enable_shared_from_this<StreamSession> {
  public:
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;
    virtual ~StreamSession() {
        if (subscription_)
            subscription_->Leave();
        state_.streams.Remove(this);
        Uncount();
    }

    const net::any_io_executor& Executor() const { return executor_; }

    // From any thread: the server stops. The stream says so and closes, after the write
    // under way (if any) has finished.
    void Shutdown() {
        net::post(executor_, [self = shared_from_this()] {
            if (self->closed_ || self->closing_)
                return;
            self->stopping_ = true;
            self->Pump();
        });
    }

  protected:
    // `kind` names the stream in the log; `gauge` counts the open ones of the kind.
    StreamSession(ListenerState& state, const net::any_io_executor& executor, ConnectionSlot slot,
                  StreamStart start, std::string peer, std::atomic<std::int64_t>& gauge,
                  std::string kind)
        : state_(state),
          executor_(executor),
          slot_(std::move(slot)),
          start_(std::move(start)),
          peer_(std::move(peer)),
          gauge_(gauge),
          kind_(std::move(kind)),
          heartbeat_(executor),
          credentials_(executor),
          watch_(executor) {
        ++gauge_;
    }

    // Events to write: at least the first of `pending`, taking those it writes.
    virtual void SendEvents(std::deque<EventPointer>& pending) = 0;
    virtual void SendHeartbeat() = 0;
    // The last thing the client is told: why the stream ends ("too-slow", "shutdown").
    virtual void SendGoodbye(const std::string& reason) = 0;
    virtual void CloseTransport() = 0;

    // Once the stream can be written to: a listener already stopping is told at once.
    void Register() {
        if (!state_.streams.Add(shared_from_this()))
            stopping_ = true;
    }

    void Join() {
        std::weak_ptr<StreamSession> weak = weak_from_this();
        auto mailbox = state_.mailbox;
        subscription_ = state_.source.Join(start_, [weak, mailbox] {
            mailbox->Post(weak, [](StreamSession& self) { self.Pump(); });
        });
        Log(Priority::Debug, peer_ + " " + start_.client + ": " + kind_ + " from " +
                                 (start_.after ? std::to_string(*start_.after) : "now"));
        CheckCredentials();
    }

    // Writes what comes next: the goodbye when the server stops, else the events the source
    // has, unless a write is under way (its end comes back here).
    void Pump() {
        if (writing_ || closed_)
            return;
        if (stopping_)
            return Goodbye("shutdown");
        if (revoked_)
            return Goodbye("revoked");
        if (!subscription_)
            return;
        if (pending_.empty()) {
            StreamBatch batch = subscription_->Take();
            if (batch.dropped) {
                if (*batch.dropped == "left")
                    return Close();
                Log(Priority::Notice, peer_ + " " + start_.client + ": " + kind_ + " dropped (" +
                                          *batch.dropped + ")");
                return Goodbye(*batch.dropped);
            }
            if (batch.events.empty()) {
                if (!batch.live)
                    net::post(executor_, [self = shared_from_this()] { self->Pump(); });
                return;
            }
            pending_.assign(batch.events.begin(), batch.events.end());
        }
        StartWrite();
        SendEvents(pending_);
    }

    void Beat() {
        heartbeat_.expires_after(state_.settings.heartbeat);
        heartbeat_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (error || self->closed_)
                return;
            if (!self->writing_) {
                self->StartWrite();
                self->SendHeartbeat();
            }
            self->Beat();
        });
    }

    // Before each write; the watch closes the stream when the write takes longer than `wait`.
    void StartWrite(std::chrono::steady_clock::duration wait = kWriteTimeout) {
        writing_ = true;
        watch_.Arm(wait, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->Close();
        });
    }
    // The end of a write that was not a goodbye's: the next one may start.
    void EndWrite() {
        writing_ = false;
        watch_.Disarm();
    }
    // The end of every write.
    void Written(beast::error_code error) {
        EndWrite();
        if (error || closing_)
            return Close();
        Pump();
    }

    void Close() {
        if (closed_)
            return;
        closed_ = true;
        heartbeat_.cancel();
        credentials_.cancel();
        watch_.Disarm();
        if (subscription_)
            subscription_->Leave();
        CloseTransport();
        Uncount();
        state_.streams.Remove(this);
    }

    ListenerState& state_;
    const std::string& ServerName() const { return state_.settings.serverName; }

  private:
    // A stream lasts longer than the request that its token opened it with: the token is asked
    // about again now and then, and a revoked one ends the stream.
    void CheckCredentials() {
        if (!start_.stillAllowed)
            return;
        credentials_.expires_after(state_.settings.credentialCheck);
        credentials_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (error || self->closed_ || self->closing_)
                return;
            if (!self->start_.stillAllowed()) {
                Log(Priority::Notice, self->peer_ + " " + self->start_.client + ": " + self->kind_ +
                                          " ended: the token is revoked");
                self->revoked_ = true;
                return self->Pump();
            }
            self->CheckCredentials();
        });
    }

    // A closed stream is no longer open, though its handlers may hold it a moment longer.
    void Uncount() {
        if (counted_)
            --gauge_;
        counted_ = false;
    }

    void Goodbye(const std::string& reason) {
        closing_ = true;
        StartWrite();
        SendGoodbye(reason);
    }

    net::any_io_executor executor_;
    ConnectionSlot slot_;
    StreamStart start_;
    std::string peer_;
    std::atomic<std::int64_t>& gauge_;
    std::string kind_;
    net::steady_timer heartbeat_;
    net::steady_timer credentials_;
    Deadline watch_;
    std::shared_ptr<StreamSubscription> subscription_;
    std::deque<EventPointer> pending_;
    bool writing_ = false;
    bool closing_ = false;   // the goodbye is being written
    bool stopping_ = false;  // the server stops: the goodbye comes next
    bool revoked_ = false;   // the token is no longer good: the goodbye comes next
    bool closed_ = false;
    bool counted_ = true;  // in gauge_
};

}  // namespace fuel::http
