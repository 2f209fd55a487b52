#include "hq/Worker.h"

#include <algorithm>

#include "hq/Apply.h"
#include "hq/Database.h"
#include "hq/Health.h"
#include "hq/Intake.h"
#include "hq/Watermark.h"

namespace fuel::hq {

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
    const IntakeReport report = With([&](Connection& db) {
        return Intake(db, settings_.log).Store(messages);
    });
    if (report.statuses > 0)
        Changed();
    return report.ready;
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
    std::vector<GapRequest> requests;
    requests.reserve(gaps.size());
    for (const Gap& gap : gaps)
        requests.push_back({gap.station, gap.from, gap.to});
    return requests;
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
