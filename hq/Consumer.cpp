#include "hq/Consumer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"

namespace fuel::hq {
namespace {

using std::chrono::milliseconds;

void WaitOn(int fd, milliseconds timeout) {
    pollfd watched{fd, POLLIN, 0};
    (void)::poll(&watched, 1, static_cast<int>(std::max<milliseconds::rep>(0, timeout.count())));
}

void Drain(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
}

}  // namespace

std::string ReplayRequest(const std::string& id, std::int64_t from, std::int64_t to) {
    return nlohmann::json{{"id", id}, {"from", from}, {"to", to}}.dump();
}

Consumer::Consumer(ConsumerSettings settings, ConsumerStore& store)
    : settings_(std::move(settings)), store_(store) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0)
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

Consumer::~Consumer() {
    Stop();
    ::close(wakeFd_);
}

void Consumer::Start() {
    stopping_ = false;
    handed_.clear();
    lastHanded_ = false;
    outbox_.clear();
    commandOutbox_.clear();
    const auto now = Clock::now();
    nextGapCheck_ = now + settings_.gapCheck;
    nextApply_ = now;  // what an earlier worker left unapplied, at once
    nextHealth_ = now + settings_.healthEvery;
    storeThread_ = std::thread([this] { RunStore(); });
    thread_ = std::thread([this] { Run(); });
}

void Consumer::Stop() {
    if (!thread_.joinable())
        return;
    stopping_ = true;
    Wake();
    thread_.join();
}

void Consumer::Wake() {
    const std::uint64_t one = 1;
    (void)::write(wakeFd_, &one, sizeof one);
}

void Consumer::Log(const std::string& line) const {
    if (settings_.log)
        settings_.log(line);
}

void Consumer::Guard(const char* what, const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        Log(std::string(what) + ": " + e.what());
    }
}

// ---- The connection's thread.

void Consumer::Run() {
    Clock::time_point reconnectAt = Clock::now();
    while (!stopping_) {
        auto now = Clock::now();
        if (client_ && client_->Dead())
            client_.reset();
        if (!client_ && now >= reconnectAt) {
            try {
                bridge::MqttClient::Listener& listener = *this;
                client_ = std::make_unique<bridge::MqttClient>(settings_.broker, listener);
                client_->Connect();
            } catch (const bridge::MqttError& e) {
                Log("mqtt: " + std::string(e.what()));
                client_.reset();
            }
            if (!client_ || client_->Dead()) {
                client_.reset();
                reconnectAt = now + settings_.retry;
            }
        }
        // A batch that is due and finds the store without room waits for it (the store
        // wakes this thread when it takes the one before), and fills meanwhile.
        bool waiting = false;
        if (!batch_.empty() && (batch_.size() >= settings_.batchSize || now >= batchDeadline_)) {
            Hand();
            waiting = !batch_.empty();
        }
        Publish();
        now = Clock::now();
        Clock::time_point until = now + milliseconds(1000);
        if (!batch_.empty() && !waiting)
            until = std::min(until, batchDeadline_);
        if (!client_)
            until = std::min(until, reconnectAt);
        const auto timeout =
            std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(until - now));
        // A full batch that the store cannot take yet: not read meanwhile, so that what the
        // broker has not sent stays in the session.
        const bool full = waiting && batch_.size() >= settings_.batchSize;
        if (client_ && !full) {
            client_->Service(wakeFd_, timeout);
        } else {
            WaitOn(wakeFd_, timeout);
        }
        Drain(wakeFd_);
        if (client_ && client_->Dead())
            reconnectAt = Clock::now() + settings_.retry;
    }
    // The batch in hand goes to the store as the last, which stores it once if it can.
    {
        const std::lock_guard lock(mutex_);
        handed_.insert(handed_.end(), std::make_move_iterator(batch_.begin()),
                       std::make_move_iterator(batch_.end()));
        lastHanded_ = true;
    }
    batch_.clear();
    storeWake_.notify_one();
    storeThread_.join();
    if (client_ && !client_->Dead()) {
        client_->Disconnect();
        client_->Service(wakeFd_, milliseconds(100));
    }
    client_.reset();
}

void Consumer::Hand() {
    {
        const std::lock_guard lock(mutex_);
        if (!handed_.empty())
            return;
        handed_.swap(batch_);
    }
    storeWake_.notify_one();
}

void Consumer::Publish() {
    std::vector<GapRequest> requests;
    std::vector<StationCommand> commands;
    {
        const std::lock_guard lock(mutex_);
        requests.swap(outbox_);
        commands.swap(commandOutbox_);
    }
    for (const StationCommand& command : commands) {
        const auto sent =
            client_ ? client_->Publish(
                          bridge::StationCommandTopic(command.station, settings_.identity),
                          command.payload, 1, false)
                    : bridge::MqttClient::Sent{};
        if (!sent) {
            Log("price command to " + command.station + " not sent (" +
                (sent.why.empty() ? std::string("no connection") : sent.why) +
                "): sent again when it stays unanswered");
            if (!client_ || sent.kind == bridge::MqttClient::Sent::Kind::Gone)
                break;
            continue;
        }
        ++counters_.priceCommands;
        Log("sent " + command.station + " the price command " + command.payload);
    }
    for (const GapRequest& gap : requests) {
        const std::string id =
            settings_.identity + "-" +
            std::to_string(std::chrono::duration_cast<milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count()) +
            "-" + std::to_string(++requestNumber_);
        const auto sent =
            client_ ? client_->Publish(bridge::ReplayCommandTopic(gap.station, settings_.identity),
                                       ReplayRequest(id, gap.from, gap.to), 1, false)
                    : bridge::MqttClient::Sent{};
        if (!sent) {
            Log("replay request to " + gap.station + " not sent (" +
                (sent.why.empty() ? std::string("no connection") : sent.why) +
                "): asked again after the gap time");
            if (!client_ || sent.kind == bridge::MqttClient::Sent::Kind::Gone)
                return;
            continue;
        }
        ++counters_.replayRequests;
        Log("asked " + gap.station + " again for events " + std::to_string(gap.from) + ".." +
            std::to_string(gap.to));
    }
}

// ---- The store's thread.

void Consumer::RunStore() {
    std::vector<bridge::MqttMessage> batch;  // taken, not yet stored
    for (;;) {
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            if (!batch.empty()) {
                // The store failed: tried again after a while, or at once when stopping.
                storeWake_.wait_for(lock, settings_.retry, [&] { return lastHanded_; });
            } else {
                Clock::time_point until = std::min({nextGapCheck_, nextApply_, nextHealth_});
                if (!touched_.empty())
                    until = std::min(until, applyDeadline_);
                storeWake_.wait_until(lock, until,
                                      [&] { return !handed_.empty() || lastHanded_; });
            }
            last = lastHanded_;
            if (batch.empty()) {
                batch.swap(handed_);
            } else if (last) {
                batch.insert(batch.end(), std::make_move_iterator(handed_.begin()),
                             std::make_move_iterator(handed_.end()));
                handed_.clear();
            }
        }
        Wake();  // room for the next batch
        if (!batch.empty() && Flush(batch))
            batch.clear();
        if (last) {
            if (!batch.empty()) {
                Log("stopping with " + std::to_string(batch.size()) +
                    " messages not stored: gap repair asks the stations for them again");
            }
            if (!touched_.empty())
                ApplyTouched();
            return;
        }
        if (!batch.empty())
            continue;  // nothing else while the database fails
        const auto now = Clock::now();
        if (!touched_.empty() && now >= applyDeadline_)
            ApplyTouched();
        Periodic(now);
    }
}

bool Consumer::Flush(const std::vector<bridge::MqttMessage>& batch) {
    std::vector<std::string> stations;
    try {
        stations = store_.Store(batch);
    } catch (const std::exception& e) {
        ++counters_.storeFailures;
        Log("store: " + std::string(e.what()) + "; " + std::to_string(batch.size()) +
            " messages kept, tried again");
        return false;
    }
    ++counters_.batches;
    counters_.stored += batch.size();
    if (!stations.empty() && touched_.empty())
        applyDeadline_ = Clock::now() + settings_.applyTime;
    touched_.insert(stations.begin(), stations.end());
    return true;
}

void Consumer::ApplyTouched() {
    // Taken first: a station whose apply fails now is applied with its next batch, or by
    // the periodic apply of every station.
    const std::vector<std::string> stations(touched_.begin(), touched_.end());
    touched_.clear();
    Guard("apply", [&] { store_.Apply(stations); });
}

void Consumer::Periodic(Clock::time_point now) {
    if (now >= nextGapCheck_) {
        nextGapCheck_ = now + settings_.gapCheck;
        // Asked only while connected: a gap taken from the store is not asked again before
        // the gap time is over.
        if (connected_) {
            Guard("gaps", [&] {
                std::vector<GapRequest> gaps = store_.GapsToAsk();
                if (gaps.empty())
                    return;
                {
                    const std::lock_guard lock(mutex_);
                    outbox_.insert(outbox_.end(), std::make_move_iterator(gaps.begin()),
                                   std::make_move_iterator(gaps.end()));
                }
                Wake();
            });
            // Taken from the store as sent: one that does not go out is sent again when the
            // store finds it unanswered.
            Guard("prices", [&] {
                std::vector<StationCommand> commands = store_.CommandsToSend();
                if (commands.empty())
                    return;
                {
                    const std::lock_guard lock(mutex_);
                    commandOutbox_.insert(commandOutbox_.end(),
                                          std::make_move_iterator(commands.begin()),
                                          std::make_move_iterator(commands.end()));
                }
                Wake();
            });
        }
    }
    if (now >= nextApply_) {
        nextApply_ = now + settings_.applyEvery;
        Guard("apply", [&] { store_.Apply({}); });
    }
    if (now >= nextHealth_) {
        nextHealth_ = now + settings_.healthEvery;
        Guard("health", [&] { store_.CheckHealth(); });
    }
}

// ---- The connection's callbacks, inside Service().

void Consumer::Connected() {
    connected_ = true;
    ++counters_.connections;
    Log("mqtt: connected to " + settings_.broker.host + ":" +
        std::to_string(settings_.broker.port) + " as " + settings_.broker.clientId);
    for (const std::string& filter :
         {bridge::SharedEventFilter(settings_.share), std::string(bridge::kAllStatusFilter),
          std::string(bridge::kAllInfoFilter), std::string(bridge::kAllRepliesFilter)}) {
        if (!client_->Subscribe(filter, 1))
            return;
    }
}

void Consumer::Disconnected(const std::string& why) {
    connected_ = false;
    if (!stopping_)
        Log("mqtt: " + why);
}

void Consumer::Acknowledged(int) {}

void Consumer::Received(const bridge::MqttMessage& message) {
    ++counters_.received;
    if (batch_.empty())
        batchDeadline_ = Clock::now() + settings_.batchTime;
    batch_.push_back(message);
}

}  // namespace fuel::hq
