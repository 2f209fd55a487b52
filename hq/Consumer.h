// The worker's side of the broker: one thread owns the MQTT connection (bridge/MqttClient's
// Service model), subscribes with QoS 1 to the stations' events through the shared
// subscription and to every station's status, info and replies, and gathers what arrives
// into batches that the store takes in one transaction each.
//
// libmosquitto acknowledges a QoS 1 message when it arrives, not when it is committed, so a
// worker killed between the two loses what it held: the store's watermark sees the hole and
// the consumer asks the station for it again (the replay command), which is what makes the
// intake exactly-once whatever the broker, the worker or the database do. When the store
// cannot take a batch (the database restarting), the batch is kept and offered again, and
// the connection is not read meanwhile: the broker keeps the rest in the session.
//
// After each committed batch the stations it touched are applied (their derived tables), and
// every station now and then, with the health check, the gaps to ask for and the campaigns'
// price commands due; all of it on
// the consumer's thread, one after the other, so that the store needs no lock of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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
    void Run();
    void Wake();
    void Log(const std::string& line) const;
    bool Flush();  // false: the store failed; the batch is kept
    void Periodic(std::chrono::steady_clock::time_point now);
    void AskForGaps();
    void SendCommands();
    void Guard(const char* what, const std::function<void()>& work);

    void Connected() override;
    void Disconnected(const std::string& why) override;
    void Acknowledged(int messageId) override;
    void Received(const bridge::MqttMessage& message) override;

    ConsumerSettings settings_;
    ConsumerStore& store_;
    ConsumerCounters counters_;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    // The consumer thread's own:
    std::unique_ptr<bridge::MqttClient> client_;
    bool connected_ = false;  // CONNACK received on client_
    std::vector<bridge::MqttMessage> batch_;
    std::chrono::steady_clock::time_point batchDeadline_{};
    std::chrono::steady_clock::time_point nextGapCheck_{};
    std::chrono::steady_clock::time_point nextApply_{};
    std::chrono::steady_clock::time_point nextHealth_{};
    std::uint64_t requestNumber_ = 0;
};

// The replay command's text: {"id", "from", "to"}.
std::string ReplayRequest(const std::string& id, std::int64_t from, std::int64_t to);

}  // namespace fuel::hq
