// The worker's side of the broker: one thread owns the MQTT connection (bridge/MqttClient's
// Service model), subscribes with QoS 1 to the stations' events through the shared
// subscription and to every station's status, info and replies, and gathers what arrives
// into batches; a second thread hands each batch to the store, in one transaction each, and
// does the rest of the database's work. So the connection is read while a batch is being
// committed: the broker sends each client only so many unacknowledged messages at a time,
// and a reader that stopped for every commit would wait out most of the window.
//
// libmosquitto acknowledges a QoS 1 message when it arrives, not when it is committed, so a
// worker killed between the two loses what it held: the store's watermark sees the hole and
// the consumer asks the station for it again (the replay command), which is what makes the
// intake exactly-once whatever the broker, the worker or the database do. When the store
// cannot take a batch (the database restarting), the batch is kept and offered again; once
// the next batch is full too, the connection is not read meanwhile: the broker keeps the
// rest in the session.
//
// The stations that committed batches touched are applied (their derived tables) once
// `applyTime` has passed since the first of them, so that under a heavy load one apply takes
// the events of many batches; every station is applied now and then too, with the health
// check, the gaps to ask for and the campaigns' price commands
// due. All the store's calls come from the store's thread, one
// after the other, so that the store needs no lock of its own; what is to be published (the
// replay requests, the price commands) goes back to the connection's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/MqttClient.h"

namespace fuel::hq {

// A range of a station's journal to ask for again (sequences, both included).
struct GapRequest {
    std::string station;
    std::int64_t from = 0;
    std::int64_t to = 0;
};

// A command to publish on the station's command topic (bridge::StationCommandTopic, the
// consumer's identity last): a campaign's price, {"id", "grade", "price"}.
struct StationCommand {
    std::string station;
    std::string payload;
};

// What the consumer hands its work to: the worker's database. Every call comes from the
// consumer's thread; any may throw (the database gone), and is then tried again later.
class ConsumerStore {
  public:
    virtual ~ConsumerStore() = default;
    // Stores the batch in one transaction (a repeat changes nothing) and returns the
    // stations whose events it held, for Apply.
    virtual std::vector<std::string> Store(const std::vector<bridge::MqttMessage>& batch) = 0;
    // Applies the derived tables of these stations up to their watermarks; none: every
    // station.
    virtual void Apply(const std::vector<std::string>& stations) = 0;
    // The gaps that have stayed open long enough to be asked for now, each at most once per
    // gap time.
    virtual std::vector<GapRequest> GapsToAsk() = 0;
    virtual void CheckHealth() = 0;
    // The price commands due now, each taken by this worker alone and to be published.
    virtual std::vector<StationCommand> CommandsToSend() { return {}; }
};

struct ConsumerSettings {
    bridge::MqttSettings broker;  // mqtt5, not clean
    std::string share = "hq";
    std::string identity;  // the replay commands' last topic level
    std::size_t batchSize = 500;
    std::chrono::milliseconds batchTime{200};
    // How long the stations of committed batches wait to be applied, gathering more.
    std::chrono::milliseconds applyTime{200};
    std::chrono::milliseconds gapCheck{1000};
    std::chrono::milliseconds applyEvery{5000};
    std::chrono::milliseconds healthEvery{10000};
    std::chrono::milliseconds retry{1000};  // after the store or the broker failed
    std::function<void(const std::string&)> log;
};

// What the consumer has done, for the log and the tests; read from any thread.
struct ConsumerCounters {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> batches{0};
    std::atomic<std::uint64_t> stored{0};  // messages in committed batches
    std::atomic<std::uint64_t> storeFailures{0};
    std::atomic<std::uint64_t> replayRequests{0};
    std::atomic<std::uint64_t> priceCommands{0};
    std::atomic<std::uint64_t> connections{0};
};

class Consumer : private bridge::MqttClient::Listener {
  public:
    // The store outlives the consumer.
    Consumer(ConsumerSettings settings, ConsumerStore& store);
    ~Consumer();  // Stop()
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    void Start();
    // Stores what it holds (once, if it can), leaves the broker cleanly (the session stays,
    // and its messages wait for the next start) and joins the thread.
    void Stop();
    const ConsumerCounters& Counters() const { return counters_; }

  private:
    using Clock = std::chrono::steady_clock;

    // The connection's thread.
    void Run();
    void Hand();     // the batch in hand to the store's thread, when it has room
    void Publish();  // what the store's thread left to publish
    void Wake();
    // The store's thread.
    void RunStore();
    bool Flush(const std::vector<bridge::MqttMessage>& batch);  // false: the store failed
    void ApplyTouched();
    void Periodic(Clock::time_point now);
    void Guard(const char* what, const std::function<void()>& work);

    void Log(const std::string& line) const;
    void Connected() override;
    void Disconnected(const std::string& why) override;
    void Acknowledged(int messageId) override;
    void Received(const bridge::MqttMessage& message) override;

    ConsumerSettings settings_;
    ConsumerStore& store_;
    ConsumerCounters counters_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};  // CONNACK received: the gaps are asked for
    std::thread thread_;
    std::thread storeThread_;

    // Between the two threads, under mutex_: the batch the store takes next (one waits at
    // most, while the store commits the one before), whether no more will come, and the
    // replay requests and price commands to publish.
    std::mutex mutex_;
    std::condition_variable storeWake_;
    std::vector<bridge::MqttMessage> handed_;
    bool lastHanded_ = false;
    std::vector<GapRequest> outbox_;
    std::vector<StationCommand> commandOutbox_;

    // The connection's thread's own:
    std::unique_ptr<bridge::MqttClient> client_;
    std::vector<bridge::MqttMessage> batch_;
    Clock::time_point batchDeadline_{};
    std::uint64_t requestNumber_ = 0;

    // The store's thread's own:
    std::set<std::string> touched_;  // stations stored since the last apply of them
    Clock::time_point applyDeadline_{};
    Clock::time_point nextGapCheck_{};
    Clock::time_point nextApply_{};
    Clock::time_point nextHealth_{};
};

// The replay command's text: {"id", "from", "to"}.
std::string ReplayRequest(const std::string& id, std::int64_t from, std::int64_t to);

}  // namespace fuel::hq
