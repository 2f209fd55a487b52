#include "bridge/Bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "bridge/Command.h"
#include "bridge/Info.h"
#include "bridge/MqttClient.h"
#include "bridge/Position.h"
#include "bridge/Replay.h"
#include "bridge/Topics.h"
#include "forecourt/CatchUp.h"

namespace fuel::bridge {
namespace {

using forecourt::Event;
using forecourt::Sequence;
using Clock = std::chrono::steady_clock;

// Fill progress waiting to go out; older ones are superseded by newer, so few are kept.
constexpr std::size_t kProgressKept = 16;
// A journal that refused the position is asked again after this long, not at every turn.
constexpr std::chrono::seconds kPositionRetry{1};
constexpr std::chrono::milliseconds kIdleWait{1000};

// What other threads hand to the bridge's thread: the forecourt's publisher (a bell and fill
// progress), a command's outcome, the journal's answer to a position. Shared, so that a late
// answer after Stop finds it alive.
struct Inbox {
    int bell = -1;
    std::mutex mutex;
    std::deque<MqttMessage> replies;
    std::deque<Event> progress;
    std::optional<std::pair<Sequence, std::exception_ptr>> positionWritten;
    bool pricesChanged = false;  // the station's info may differ from the one published
    bool stop = false;

    Inbox() {
        bell = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (bell < 0)
            throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
    ~Inbox() { ::close(bell); }
    void Ring() const {
        const std::uint64_t one = 1;
        // A full counter still wakes the reader: nothing to do when the write fails.
        [[maybe_unused]] const auto written = ::write(bell, &one, sizeof one);
    }
    void Silence() const {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(bell, &count, sizeof count);
    }
};

std::string Payload(const Event& event, std::string_view station) {
    nlohmann::json json = forecourt::ToJson(event);
    json["station"] = station;
    return forecourt::JsonText(json);
}

}  // namespace

class Bridge::Worker : public MqttClient::Listener {
  public:
    Worker(forecourt::Forecourt& forecourt, const BrokerConfig& config,
           const BridgeOptions& options)
        : forecourt_(forecourt), config_(config), options_(options) {
        settings_.host = config.host;
        settings_.port = config.port;
        settings_.tls = config.tls;
        settings_.clientId = config.clientId;
        settings_.keepalive = config.keepalive;
        settings_.user = config.user;
        settings_.password = config.password;
        settings_.ca = config.ca;
        settings_.certificate = config.certificate;
        settings_.key = config.key;
        settings_.will = MqttMessage{StatusTopic(config.station), std::string(kOffline), 1, true};
    }

    void Start() {
        acknowledged_ = stored_ = ReadPosition(forecourt_.GetJournal(), config_.station);
        place_ = forecourt::CatchUp(acknowledged_);
        UpdateStatus();
        std::weak_ptr<Inbox> weak = inbox_;
        subscription_ = forecourt_.Subscribe(
            std::nullopt,
            [weak](const Event& event) {
                const auto inbox = weak.lock();
                if (!inbox)
                    return;
                if (!event.Journaled()) {
                    std::lock_guard lock(inbox->mutex);
                    if (inbox->progress.size() == kProgressKept)
                        inbox->progress.pop_front();
                    inbox->progress.push_back(event);
                } else if (event.type == forecourt::event_type::kPrice) {
                    std::lock_guard lock(inbox->mutex);
                    inbox->pricesChanged = true;
                }
                inbox->Ring();
            },
            config_.progress);
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() {
        subscription_.Cancel();
        {
            std::lock_guard lock(inbox_->mutex);
            inbox_->stop = true;
        }
        inbox_->Ring();
        if (thread_.joinable())
            thread_.join();
    }

    BridgeStatus Status() const {
        std::lock_guard lock(statusMutex_);
        return status_;
    }

  private:
    void Run() {
        for (;;) {
            if (Stopping())
                break;
            if (!client_ && Clock::now() >= nextAttempt_) {
                Connect();
                if (!client_ || client_->Dead())
                    Drop();
            }
            if (connected_)
                Publish();
            StorePosition();
            if (client_) {
                client_->Service(inbox_->bell, kIdleWait);
            } else {
                const auto untilAttempt = std::chrono::duration_cast<std::chrono::milliseconds>(
                    nextAttempt_ - Clock::now());
                pollfd bell{inbox_->bell, POLLIN, 0};
                ::poll(
                    &bell, 1,
                    static_cast<int>(
                        std::clamp(untilAttempt, std::chrono::milliseconds(0), kIdleWait).count()));
            }
            inbox_->Silence();
            TakePositionAnswer();
            if (client_ && client_->Dead()) {
                Drop();
            } else if (connected_) {
                delay_ = options_.reconnectMin;
            }
        }
        Finish();
    }

    // A failed or lost connection is dropped whole; the next one is tried after a delay
    // that doubles with each failure in a row.
    void Drop() {
        client_.reset();
        connected_ = false;
        nextAttempt_ = Clock::now() + delay_;
        delay_ = std::min(delay_ * 2, options_.reconnectMax);
        UpdateStatus();
    }

    bool Stopping() {
        std::lock_guard lock(inbox_->mutex);
        return inbox_->stop;
    }

    void Connect() {
        try {
            client_ = std::make_unique<MqttClient>(settings_, *this);
            client_->Connect();
        } catch (const MqttError& error) {
            // Settings that cannot work now (a certificate file missing) may be mended
            // while we run: keep trying, slowly, and say why.
            client_.reset();
            Note(error.what());
        }
    }

    // ---- MqttClient::Listener, on this thread inside Service.
    void Connected() override {
        connected_ = true;
        // What was on the wire without its PUBACK goes again, from the acknowledged one.
        inFlight_.clear();
        pending_.clear();
        place_ = forecourt::CatchUp(acknowledged_);
        replayFlight_.clear();
        replays_.Restart();
        // The broker takes a connection's packets in order: once "online" is out, the
        // commands' subscriptions are in place.
        client_->Subscribe(StationCommandFilter(config_.station), 1);
        for (const std::string& group : config_.groups) {
            client_->Subscribe(GroupCommandFilter(group), 1);
        }
        client_->Subscribe(ReplayCommandFilter(config_.station), 1);
        // Before "online": a subscriber that sees the station come up finds who it is.
        PublishInfo(true);
        client_->Publish(StatusTopic(config_.station), kOnline, 1, true);
        {
            std::lock_guard lock(statusMutex_);
            ++status_.connections;
        }
        Note("connected to " + config_.host + ":" + std::to_string(config_.port) +
             ", publishing after event " + std::to_string(acknowledged_));
        UpdateStatus();
    }

    void Disconnected(const std::string& why) override {
        connected_ = false;
        Note("broker " + config_.host + ":" + std::to_string(config_.port) + ": " + why);
    }

    void Acknowledged(int messageId) override {
        if (messageId == statusId_)
            statusAcknowledged_ = true;
        if (replayFlight_.erase(messageId) > 0)
            return;  // an event sent again: the position is not its business
        const auto found = inFlight_.find(messageId);
        if (found == inFlight_.end())
            return;  // a reply, the status, the info, or fill progress
        pending_[found->second] = true;
        inFlight_.erase(found);
        Advance();
    }

    // The acknowledged position moves over every event the broker has, in order.
    void Advance() {
        while (!pending_.empty() && pending_.begin()->second) {
            acknowledged_ = pending_.begin()->first;
            pending_.erase(pending_.begin());
        }
        UpdateStatus();
    }

    void Received(const MqttMessage& message) override {
        {
            std::lock_guard lock(statusMutex_);
            ++status_.commands;
        }
        if (IsReplayCommandTopic(message.topic)) {
            auto replay = ReadReplayCommand(message.topic, message.payload, config_.identities);
            if (auto* refused = std::get_if<Reply>(&replay)) {
                Queue(*refused);
            } else if (auto& command = std::get<ReplayCommand>(replay); !replays_.Add(command)) {
                Queue(Replays::Busy(command));
            }
            return;
        }
        auto read = ReadPriceCommand(message.topic, message.payload, config_.identities);
        if (auto* refused = std::get_if<Reply>(&read)) {
            Queue(*refused);
            return;
        }
        const PriceCommand command = std::get<PriceCommand>(std::move(read));
        std::weak_ptr<Inbox> weak = inbox_;
        const std::string station = config_.station;
        forecourt_.SetPrice(
            command.grade, command.price, forecourt::Caller{command.identity, command.id},
            [weak, command, station](forecourt::Outcome outcome) {
                const auto inbox = weak.lock();
                if (!inbox)
                    return;  // stopped: the sender asks again
                {
                    std::lock_guard lock(inbox->mutex);
                    inbox->replies.push_back(MqttMessage{
                        ReplyTopic(station),
                        forecourt::JsonText(ToJson(ReplyTo(command, outcome), station)), 1, false});
                }
                inbox->Ring();
            });
    }

    void Queue(const Reply& reply) {
        std::lock_guard lock(inbox_->mutex);
        inbox_->replies.push_back(MqttMessage{ReplyTopic(config_.station),
                                              forecourt::JsonText(ToJson(reply, config_.station)),
                                              1, false});
    }

    // ---- Out.
    void Publish() {
        // Replies first: a back office waits for them; they are few.
        for (;;) {
            std::optional<MqttMessage> reply;
            {
                std::lock_guard lock(inbox_->mutex);
                if (inbox_->replies.empty())
                    break;
                reply = inbox_->replies.front();
            }
            const MqttClient::Sent sent =
                client_->Publish(reply->topic, reply->payload, reply->qos, reply->retain);
            if (sent.kind == MqttClient::Sent::Kind::Gone)
                return;
            if (sent.kind == MqttClient::Sent::Kind::Refused)
                Note(sent.why + "; the reply is dropped");
            std::lock_guard lock(inbox_->mutex);
            inbox_->replies.pop_front();
        }
        bool caughtUp = false;
        try {
            caughtUp = PublishEvents();
            // After the journal's own events, in what the window has left of its half: a
            // replay leaves room for the live events and never overtakes them.
            PublishReplays();
        } catch (const std::exception& error) {
            Note(std::string("reading the journal: ") + error.what());
        }
        bool pricesChanged = false;
        {
            std::lock_guard lock(inbox_->mutex);
            std::swap(pricesChanged, inbox_->pricesChanged);
        }
        if (pricesChanged && !PublishInfo(false))
            return;
        std::deque<Event> progress;
        {
            std::lock_guard lock(inbox_->mutex);
            progress.swap(inbox_->progress);
        }
        // Progress never overtakes the journal's events: behind, it is stale anyway.
        if (!caughtUp)
            return;
        for (const Event& event : progress) {
            if (client_
                    ->Publish(EventTopic(config_.station, event.type),
                              Payload(event, config_.station), 0, false)
                    .kind == MqttClient::Sent::Kind::Gone) {
                return;
            }
        }
    }

    // True when every journaled event has been handed to the broker.
    bool PublishEvents() {
        const forecourt::Journal& journal = forecourt_.GetJournal();
        const forecourt::EventReader reader = [&journal](Sequence after, std::size_t limit) {
            return journal.EventsAfter(after, limit);
        };
        const Sequence horizon = journal.LastSequence();
        std::uint64_t published = 0;
        bool caughtUp = place_.Reached(horizon);
        while (!caughtUp && InFlight() < options_.window) {
            const std::vector<Event> events =
                place_.Read(reader, horizon, options_.window - InFlight());
            // The journal keeps every event the broker has not acknowledged; one it no longer
            // holds went before this station had a bridge, or with a journal put in place.
            if (place_.Lost()) {
                Note("events after " + std::to_string(place_.Position()) +
                     (place_.Oldest() ? " and before " + std::to_string(*place_.Oldest())
                                      : std::string()) +
                     " are no longer in the journal and cannot be sent");
            }
            for (const Event& event : events) {
                const MqttClient::Sent sent =
                    client_->Publish(EventTopic(config_.station, event.type),
                                     Payload(event, config_.station), 1, false);
                if (sent.kind == MqttClient::Sent::Kind::Gone)
                    return false;
                if (sent.kind == MqttClient::Sent::Kind::Refused) {
                    // Sent again it would be refused again, and hold up every event after
                    // it: told once, and passed over as if the broker had it.
                    Note(sent.why + "; event " + std::to_string(event.sequence) +
                         " and any like it are passed over");
                    pending_.emplace(event.sequence, true);
                    {
                        std::lock_guard lock(statusMutex_);
                        ++status_.refused;
                    }
                    Advance();
                } else {
                    inFlight_.emplace(sent.id, event.sequence);
                    pending_.emplace(event.sequence, false);
                    ++published;
                }
                place_.Accept(event.sequence);
            }
            // Events the journal cannot give are not waited for.
            caughtUp = place_.Reached(horizon) || (place_.Lost() && events.empty());
        }
        if (published > 0) {
            std::lock_guard lock(statusMutex_);
            status_.published += published;
        }
        return caughtUp;
    }

    std::size_t InFlight() const { return inFlight_.size() + replayFlight_.size(); }

    // Replays, in the window's room, each event as its first publication was; a replay's
    // reply once the broker has every event of it.
    void PublishReplays() {
        const forecourt::Journal& journal = forecourt_.GetJournal();
        const forecourt::EventReader reader = [&journal](Sequence after, std::size_t limit) {
            return journal.EventsAfter(after, limit);
        };
        // Half the window at most, so that a live event always finds room.
        const std::size_t share = std::max<std::size_t>(1, options_.window / 2);
        // Each reply queued as soon as it is made, so that a journal that fails to read
        // further on loses none; they go out at the next turn, not after the idle wait.
        std::vector<Reply> answered;
        const auto queueAnswered = [&] {
            for (const Reply& reply : answered)
                Queue(reply);
            if (!answered.empty())
                inbox_->Ring();
            answered.clear();
        };
        for (;;) {
            const Sequence last = journal.LastSequence();
            if (std::optional<Reply> reply = replays_.Finish(reader, last, replayFlight_.empty())) {
                answered.push_back(std::move(*reply));
                queueAnswered();
                continue;
            }
            if (replays_.Idle() || InFlight() >= options_.window || replayFlight_.size() >= share)
                break;
            const std::vector<Event> events = replays_.Take(
                reader, last, std::min(options_.window - InFlight(), share - replayFlight_.size()),
                answered);
            const bool answeredAtOnce = !answered.empty();
            queueAnswered();
            if (events.empty()) {
                // Answered at once without events (the next may begin), or read to its end
                // and answered once the broker has acknowledged all of it.
                if (answeredAtOnce || (replays_.ReadToEnd() && replayFlight_.empty()))
                    continue;
                break;
            }
            bool gone = false;
            std::uint64_t published = 0;
            for (const Event& event : events) {
                const MqttClient::Sent sent =
                    client_->Publish(EventTopic(config_.station, event.type),
                                     Payload(event, config_.station), 1, false);
                if (sent.kind == MqttClient::Sent::Kind::Gone) {
                    gone = true;
                    break;
                }
                if (sent.kind == MqttClient::Sent::Kind::Queued) {
                    replayFlight_.insert(sent.id);
                    ++published;
                } else {
                    Note(sent.why + "; event " + std::to_string(event.sequence) +
                         " is passed over in the replay");
                }
                replays_.Accept(event.sequence);
            }
            {
                std::lock_guard lock(statusMutex_);
                status_.published += published;
                status_.replayed += published;
            }
            if (gone)
                break;
        }
    }

    // The retained info, when it differs from the one last published (or always: at a new
    // connection, where the broker may have lost it). False when the connection is gone.
    bool PublishInfo(bool always) {
        std::string payload =
            forecourt::JsonText(StationInfo(config_, options_.version, forecourt_.GetSnapshot()));
        if (!always && payload == info_)
            return true;
        const MqttClient::Sent sent =
            client_->Publish(InfoTopic(config_.station), payload, 1, true);
        if (sent.kind == MqttClient::Sent::Kind::Gone)
            return false;  // the next connection publishes it
        if (sent.kind == MqttClient::Sent::Kind::Refused)
            Note(sent.why + "; the station's info is not published");
        info_ = std::move(payload);
        return true;
    }

    // ---- The position in the journal: one write at a time, the newest acknowledged.
    void StorePosition() {
        if (writing_ || acknowledged_ <= stored_ || Clock::now() < positionRetryAt_)
            return;
        writing_ = true;
        std::weak_ptr<Inbox> weak = inbox_;
        const Sequence target = acknowledged_;
        WritePosition(forecourt_.GetJournal(), config_.station, target,
                      [weak, target](std::exception_ptr error) {
                          const auto inbox = weak.lock();
                          if (!inbox)
                              return;
                          {
                              std::lock_guard lock(inbox->mutex);
                              inbox->positionWritten = std::make_pair(target, error);
                          }
                          inbox->Ring();
                      });
    }

    void TakePositionAnswer() {
        std::optional<std::pair<Sequence, std::exception_ptr>> answer;
        {
            std::lock_guard lock(inbox_->mutex);
            answer.swap(inbox_->positionWritten);
        }
        if (!answer)
            return;
        writing_ = false;
        if (answer->second) {
            positionRetryAt_ = Clock::now() + kPositionRetry;
            try {
                std::rethrow_exception(answer->second);
            } catch (const std::exception& error) {
                Note(std::string("recording the published position: ") + error.what());
            }
            return;
        }
        stored_ = std::max(stored_, answer->first);
        UpdateStatus();
    }

    // Stopping: "offline" out and what is on the wire acknowledged, within the grace; then
    // the position on the disk, so that a clean restart repeats nothing.
    void Finish() {
        if (client_ && connected_) {
            const MqttClient::Sent sent =
                client_->Publish(StatusTopic(config_.station), kOffline, 1, true);
            statusAcknowledged_ = false;
            statusId_ = sent ? sent.id : -1;
            const auto deadline = Clock::now() + options_.stopGrace;
            while (!client_->Dead() && (!statusAcknowledged_ || !inFlight_.empty()) &&
                   Clock::now() < deadline) {
                client_->Service(inbox_->bell, std::chrono::milliseconds(50));
                inbox_->Silence();
                TakePositionAnswer();
            }
            client_->Disconnect();
        }
        client_.reset();
        connected_ = false;
        while (writing_) {  // a write in flight: its answer first
            pollfd bell{inbox_->bell, POLLIN, 0};
            ::poll(&bell, 1, 50);
            inbox_->Silence();
            TakePositionAnswer();
        }
        if (acknowledged_ > stored_) {
            std::promise<std::exception_ptr> written;
            WritePosition(forecourt_.GetJournal(), config_.station, acknowledged_,
                          [&written](std::exception_ptr error) { written.set_value(error); });
            if (const std::exception_ptr error = written.get_future().get(); !error) {
                stored_ = acknowledged_;
            } else {
                Note("recording the published position at stop failed");
            }
        }
        UpdateStatus();
    }

    // The same message again (a broker down for a day, tried every half minute) is logged once.
    void Note(const std::string& what) {
        {
            std::lock_guard lock(statusMutex_);
            if (status_.lastMessage == what)
                return;
            status_.lastMessage = what;
        }
        if (options_.log)
            options_.log("mqtt: " + what);
    }

    void UpdateStatus() {
        std::lock_guard lock(statusMutex_);
        status_.connected = connected_;
        status_.acknowledged = acknowledged_;
        status_.stored = stored_;
    }

    forecourt::Forecourt& forecourt_;
    const BrokerConfig& config_;
    const BridgeOptions& options_;
    MqttSettings settings_;
    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    forecourt::Subscription subscription_;
    std::thread thread_;

    // The bridge's thread only.
    std::unique_ptr<MqttClient> client_;
    bool connected_ = false;
    Clock::time_point nextAttempt_{};
    std::chrono::milliseconds delay_ = options_.reconnectMin;
    forecourt::CatchUp place_{0};       // the last event handed to the broker on this connection
    Sequence acknowledged_ = 0;         // every event up to it acknowledged
    Sequence stored_ = 0;               // the position the journal holds
    std::map<int, Sequence> inFlight_;  // message id -> event
    std::map<Sequence, bool> pending_;  // events sent on this connection: acknowledged yet?
    Replays replays_;
    std::set<int> replayFlight_;  // message ids of replayed events not yet acknowledged
    std::string info_;            // the info last published
    bool writing_ = false;
    Clock::time_point positionRetryAt_{};
    int statusId_ = -1;
    bool statusAcknowledged_ = false;

    mutable std::mutex statusMutex_;
    BridgeStatus status_;
};

Bridge::Bridge(forecourt::Forecourt& forecourt, BrokerConfig config, BridgeOptions options)
    : forecourt_(forecourt), config_(std::move(config)), options_(std::move(options)) {}

Bridge::~Bridge() {
    Stop();
}

void Bridge::Start() {
    if (running_)
        return;
    auto worker = std::make_unique<Worker>(forecourt_, config_, options_);
    worker->Start();
    worker_ = std::move(worker);
    running_ = true;
}

void Bridge::Stop() {
    if (!running_)
        return;
    worker_->Stop();
    running_ = false;
}

BridgeStatus Bridge::Status() const {
    return worker_ ? worker_->Status() : BridgeStatus{};
}

}  // namespace fuel::bridge
