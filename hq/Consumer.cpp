#include "hq/Consumer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"

namespace fuel::hq {
namespace {

using Clock = std::chrono::steady_clock;
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
    const auto now = Clock::now();
    nextGapCheck_ = now + settings_.gapCheck;
    nextApply_ = now;  // what an earlier worker left unapplied, at once
    nextHealth_ = now + settings_.healthEvery;
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
        if (!batch_.empty() && (batch_.size() >= settings_.batchSize || now >= batchDeadline_)) {
            if (!Flush()) {
                // Not read meanwhile: what the broker has not sent stays in the session.
                WaitOn(wakeFd_, settings_.retry);
                Drain(wakeFd_);
                continue;
            }
        }
        Periodic(now);
        now = Clock::now();
        Clock::time_point until =
            std::min({nextGapCheck_, nextApply_, nextHealth_, now + milliseconds(1000)});
        if (!batch_.empty())
            until = std::min(until, batchDeadline_);
        if (!client_)
            until = std::min(until, reconnectAt);
        const auto timeout =
            std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(until - now));
        if (client_) {
            client_->Service(wakeFd_, timeout);
        } else {
            WaitOn(wakeFd_, timeout);
        }
        Drain(wakeFd_);
        if (client_ && client_->Dead())
            reconnectAt = Clock::now() + settings_.retry;
    }
    if (!batch_.empty() && !Flush()) {
        Log("stopping with " + std::to_string(batch_.size()) +
            " messages not stored: gap repair asks the stations for them again");
    }
    if (client_ && !client_->Dead()) {
        client_->Disconnect();
        client_->Service(wakeFd_, milliseconds(100));
    }
    client_.reset();
}

bool Consumer::Flush() {
    std::vector<std::string> stations;
    try {
        stations = store_.Store(batch_);
    } catch (const std::exception& e) {
        ++counters_.storeFailures;
        Log("store: " + std::string(e.what()) + "; " + std::to_string(batch_.size()) +
            " messages kept, tried again");
        return false;
    }
    ++counters_.batches;
    counters_.stored += batch_.size();
    batch_.clear();
    if (!stations.empty())
        Guard("apply", [&] { store_.Apply(stations); });
    return true;
}

void Consumer::Periodic(Clock::time_point now) {
    if (now >= nextGapCheck_) {
        nextGapCheck_ = now + settings_.gapCheck;
        // Asked only while connected: a gap taken from the store is not asked again before
        // the gap time is over.
        if (client_ && !client_->Dead() && connected_) {
            Guard("gaps", [&] { AskForGaps(); });
            Guard("prices", [&] { SendCommands(); });
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

void Consumer::AskForGaps() {
    for (const GapRequest& gap : store_.GapsToAsk()) {
        const std::string id =
            settings_.identity + "-" +
            std::to_string(std::chrono::duration_cast<milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count()) +
            "-" + std::to_string(++requestNumber_);
        const auto sent =
            client_->Publish(bridge::ReplayCommandTopic(gap.station, settings_.identity),
                             ReplayRequest(id, gap.from, gap.to), 1, false);
        if (!sent) {
            Log("replay request to " + gap.station + " not sent (" +
                (sent.why.empty() ? std::string("no connection") : sent.why) +
                "): asked again after the gap time");
            if (sent.kind == bridge::MqttClient::Sent::Kind::Gone)
                return;
            continue;
        }
        ++counters_.replayRequests;
        Log("asked " + gap.station + " again for events " + std::to_string(gap.from) + ".." +
            std::to_string(gap.to));
    }
}

void Consumer::SendCommands() {
    // Taken from the store as sent: one that does not go out now is sent again when the
    // store finds it unanswered.
    for (const StationCommand& command : store_.CommandsToSend()) {
        const auto sent =
            client_->Publish(bridge::StationCommandTopic(command.station, settings_.identity),
                             command.payload, 1, false);
        if (!sent) {
            Log("price command to " + command.station + " not sent (" +
                (sent.why.empty() ? std::string("no connection") : sent.why) +
                "): sent again when it stays unanswered");
            if (sent.kind == bridge::MqttClient::Sent::Kind::Gone)
                return;
            continue;
        }
        ++counters_.priceCommands;
        Log("sent " + command.station + " the price command " + command.payload);
    }
}

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
