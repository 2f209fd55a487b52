#include "hq/Worker.h"

#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"

#include "hq/Apply.h"
#include "hq/Campaigns.h"
#include "hq/Database.h"
#include "hq/Health.h"
#include "hq/Intake.h"
#include "hq/Watermark.h"

namespace fuel::hq {

namespace {

// A station's reply to a replay whose range began before the oldest event its journal still
// keeps: {"command": "replay", "data": {"from", "to", "oldest"}, ...}. The events before
// "oldest" will never come, and the watermark may pass them (with an alarm).
struct NotKept {
    std::string station;
    std::int64_t oldest = 0;
};

std::optional<NotKept> ReplayNotKept(const bridge::MqttMessage& message) {
    const auto topic = bridge::ParseStationTopic(message.topic);
    if (!topic || message.topic != bridge::ReplyTopic(topic->station))
        return std::nullopt;
    const auto reply = nlohmann::json::parse(message.payload, nullptr, false);
    if (!reply.is_object() || reply.value("command", nlohmann::json()) != bridge::replay::kCommand)
        return std::nullopt;
    const auto data = reply.find("data");
    if (data == reply.end() || !data->is_object())
        return std::nullopt;
    const auto from = data->find("from");
    const auto oldest = data->find("oldest");
    if (from == data->end() || oldest == data->end() || !from->is_number_integer() ||
        !oldest->is_number_integer() || oldest->get<std::int64_t>() <= from->get<std::int64_t>())
        return std::nullopt;
    return NotKept{topic->station, oldest->get<std::int64_t>()};
}

}  // namespace

Worker::Worker(WorkerSettings settings) : settings_(std::move(settings)) {}

Worker::~Worker() = default;

template <class Work>
auto Worker::With(Work&& work) -> decltype(work(std::declval<Connection&>())) {
    if (!connection_)
        connection_ = std::make_unique<Connection>(settings_.database);
    else if (!connection_->Healthy())
        connection_->Reconnect();
    try {
        return work(*connection_);
    } catch (const DatabaseError& e) {
        if (e.ConnectionLost())
            connection_.reset();  // a new one at the next call
        throw;
    }
}

void Worker::Changed() const {
    if (settings_.changed)
        settings_.changed();
}

std::vector<std::string> Worker::Store(const std::vector<bridge::MqttMessage>& batch) {
    std::vector<Message> messages;
    messages.reserve(batch.size());
    for (const bridge::MqttMessage& message : batch)
        messages.push_back({message.topic, message.payload});
    const IntakeReport report =
        With([&](Connection& db) { return Intake(db, settings_.log).Store(messages); });
    bool changed = report.statuses > 0;
    std::vector<std::string> ready = report.ready;
    // After the batch's events: a reply comes after the events it sent, and what the station
    // still had is then held, so that only what is truly gone is given up.
    for (const bridge::MqttMessage& message : batch) {
        const auto notKept = ReplayNotKept(message);
        if (!notKept)
            continue;
        const std::int64_t lost = With(
            [&](Connection& db) { return GiveUpBefore(db, notKept->station, notKept->oldest); });
        if (lost > 0 && settings_.log) {
            settings_.log(notKept->station + " no longer keeps events before " +
                          std::to_string(notKept->oldest) + ": " + std::to_string(lost) +
                          " given up");
        }
        changed = changed || lost > 0;
        ready.push_back(notKept->station);
    }
    // Every worker takes every reply: the first records a campaign's outcome, the others
    // find it recorded.
    for (const bridge::MqttMessage& message : batch) {
        const auto topic = bridge::ParseStationTopic(message.topic);
        if (!topic || message.topic != bridge::ReplyTopic(topic->station))
            continue;
        const auto reply = nlohmann::json::parse(message.payload, nullptr, false);
        if (With([&](Connection& db) {
                return RecordPriceReply(db, topic->station, settings_.identity, reply);
            }))
            changed = true;
    }
    if (changed)
        Changed();
    std::sort(ready.begin(), ready.end());
    ready.erase(std::unique(ready.begin(), ready.end()), ready.end());
    return ready;
}

void Worker::Apply(const std::vector<std::string>& stations) {
    std::vector<std::string> left =
        stations.empty() ? With([](Connection& db) { return StationsToApply(db); }) : stations;
    bool alarms = false;
    // A station with more than one call's worth is applied again at once; one that another
    // worker applies now is that worker's (it reaches the watermark its own intake set, or
    // the next periodic apply of any worker does).
    while (!left.empty()) {
        const ApplyReport report = With([&](Connection& db) { return hq::Apply(db, left); });
        alarms = alarms || report.alarms > 0;
        left = report.unfinished;
    }
    if (alarms)
        Changed();
}

std::vector<GapRequest> Worker::GapsToAsk() {
    GapPolicy policy;
    policy.openFor = settings_.gapTime;
    policy.askAgainAfter = settings_.gapTime;
    const std::vector<Gap> gaps = With([&](Connection& db) { return DueGaps(db, policy); });
    const std::vector<Gap> probes =
        With([&](Connection& db) { return DueProbes(db, settings_.probeAfter); });
    std::vector<GapRequest> requests;
    requests.reserve(gaps.size() + probes.size());
    // A station answers a range of at most kMaxEvents; a longer gap is asked for from its
    // start, and the rest once the watermark has passed that part.
    const auto most = static_cast<std::int64_t>(bridge::replay::kMaxEvents);
    for (const Gap& gap : gaps)
        requests.push_back({gap.station, gap.from, std::min(gap.to, gap.from + most - 1)});
    // What follows a quiet station's events, as much as it answers at once.
    for (const Gap& probe : probes)
        requests.push_back({probe.station, probe.from, probe.from + most - 1});
    return requests;
}

std::vector<StationCommand> Worker::CommandsToSend() {
    const DueReport due =
        With([&](Connection& db) { return DuePrices(db, settings_.resendAfter); });
    if (due.changed)
        Changed();
    std::vector<StationCommand> commands;
    for (const PriceToSend& send : due.sends)
        commands.push_back({send.station, PriceCommandText(send)});
    return commands;
}

void Worker::CheckHealth() {
    HealthPolicy policy;
    policy.silentAfter = settings_.silentAfter;
    policy.offlineAfter = settings_.offlineAfter;
    const HealthReport report = With([&](Connection& db) { return hq::CheckHealth(db, policy); });
    if (report.raised > 0 || report.cleared > 0)
        Changed();
}

}  // namespace fuel::hq
