// The worker's store: what the consumer brings, taken through the database alone. A batch of
// messages goes to the intake in one transaction; the stations it made ready are applied;
// every station now and then too (what a dead worker left), with the health check and the
// gaps due to be asked for, and the campaigns' price commands due. The stations' replies to
// those are recorded as each batch is stored. Nothing the worker holds between calls matters but
// its connection: the watermarks, the applied cursors and when each gap was last asked for are all
// in PostgreSQL, so a worker killed at any instant is replaced by starting another.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hq/Consumer.h"

namespace fuel::hq {

class Connection;

struct WorkerSettings {
    std::string database;                      // libpq's connection string
    std::chrono::milliseconds gapTime{10000};  // a gap open this long is asked for, and again
    // An online station quiet this long is asked for what follows its events (DueProbes).
    std::chrono::milliseconds probeAfter{300000};
    std::chrono::seconds silentAfter{600};
    std::chrono::seconds offlineAfter{1800};
    // A campaign's price command unanswered this long is sent again.
    std::chrono::milliseconds resendAfter{30000};
    // The identity the price commands are sent under: only replies to it are the campaigns'.
    std::string identity;
    // A change for the live stream may have been added (a status, an alarm).
    std::function<void()> changed;
    std::function<void(const std::string&)> log;
};

class Worker : public ConsumerStore {
  public:
    // Connects at the first call, not here: a database that is not up yet is tried again.
    explicit Worker(WorkerSettings settings);
    ~Worker() override;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    std::vector<std::string> Store(const std::vector<bridge::MqttMessage>& batch) override;
    void Apply(const std::vector<std::string>& stations) override;
    std::vector<GapRequest> GapsToAsk() override;
    void CheckHealth() override;
    std::vector<StationCommand> CommandsToSend() override;

  private:
    // The connection, made again when the last one was lost; work that lost it throws, and
    // the consumer does it again later.
    template <class Work>
    auto With(Work&& work) -> decltype(work(std::declval<Connection&>()));
    void Changed() const;

    WorkerSettings settings_;
    std::unique_ptr<Connection> connection_;
};

}  // namespace fuel::hq
