// How fast one station's bridge publishes to a broker on the same machine, and how long an
// event takes from the journal's commit to a back office subscriber.
//
//     bridge_benchmark [BACKLOG [LIVE [RATE]]]     defaults: 20000 events, 2000 events, 500/s
//
// Throughput: BACKLOG events are committed while the bridge is stopped, then the bridge is
// started and timed until the broker has acknowledged the last one (read from the journal,
// published QoS 1, PUBACK, position recorded). Latency: LIVE events committed one job each
// at RATE per second while the bridge runs; for each, from the moment the forecourt hands
// the committed event to its subscribers to its arrival at an MQTT subscriber of a private
// mosquitto on the loopback.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "bridge/Bridge.h"
#include "bridge/Position.h"
#include "bridge/Topics.h"
#include "testing/BridgeStation.h"
#include "testing/Broker.h"
#include "testing/TestFiles.h"

namespace {

using namespace fuel;
using Clock = std::chrono::steady_clock;

void Commit(forecourt::Forecourt& forecourt, const nlohmann::json& data, int count) {
    std::vector<std::future<void>> jobs;
    for (int i = 0; i < count; ++i) {
        jobs.push_back(forecourt.GetJournal().Write([&data](forecourt::WriteTransaction& t) {
            t.AppendEvent(forecourt::event_type::kFuelPoint, data,
                          std::chrono::system_clock::now());
        }));
    }
    for (auto& job : jobs)
        job.get();
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.at(static_cast<std::size_t>(p * static_cast<double>(values.size() - 1)));
}

}  // namespace

int main(int argc, char** argv) {
    const int backlog = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int live = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 500;
    try {
        test::MosquittoBroker broker;
        test::TemporaryDirectory dir;
        const forecourt::Config config =
            forecourt::LoadConfig(bridge::test::WriteStation(dir.Path(), "bench", broker.Url()),
                                  {std::string(bridge::kSectionKind)});
        forecourt::Options options;
        options.migrations = bridge::Migrations();
        forecourt::Forecourt forecourt(config, options);
        forecourt.Start();
        const bridge::BrokerConfig brokerConfig = bridge::ReadBrokerConfig(config).value();
        test::MqttPeer office(broker.Port(), {bridge::EventTopic("bench", "#")}, "bench-office");
        const nlohmann::json point = forecourt::ToJson(forecourt.FuelPoint(1).value());

        // ---- Throughput: the backlog after an outage.
        Commit(forecourt, point, backlog);
        const forecourt::Sequence last = forecourt.GetJournal().LastSequence();
        auto bridge = std::make_unique<bridge::Bridge>(forecourt, brokerConfig);
        const auto start = Clock::now();
        bridge->Start();
        while (bridge->Status().acknowledged < last) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const auto published = bridge->Status().published;
        std::printf("backlog: %d events acknowledged in %.3f s: %.0f events/s (%llu messages)\n",
                    backlog, seconds, backlog / seconds,
                    static_cast<unsigned long long>(published));

        // ---- Latency: live events, commit to subscriber.
        std::mutex mutex;
        std::map<forecourt::Sequence, Clock::time_point> committed;
        forecourt::Subscription subscription = forecourt.Subscribe(
            std::nullopt,
            [&](const forecourt::Event& event) {
                std::lock_guard lock(mutex);
                committed.emplace(event.sequence, Clock::now());
            },
            false);
        office.Clear();
        const auto period = std::chrono::nanoseconds(1'000'000'000 / rate);
        auto next = Clock::now();
        for (int i = 0; i < live; ++i) {
            Commit(forecourt, point, 1);
            next += period;
            std::this_thread::sleep_until(next);
        }
        const forecourt::Sequence end = forecourt.GetJournal().LastSequence();
        office.WaitFor([&](const auto& messages) {
            return bridge::test::EventsOf(messages, "bench").firsts.size() >=
                   static_cast<std::size_t>(live);
        });
        std::vector<double> delays;
        std::lock_guard lock(mutex);
        for (const auto& message : office.Messages()) {
            const auto sequence =
                nlohmann::json::parse(message.payload)["id"].get<forecourt::Sequence>();
            const auto found = committed.find(sequence);
            if (found == committed.end() || sequence > end)
                continue;
            delays.push_back(
                std::chrono::duration<double, std::micro>(message.arrived - found->second).count());
            committed.erase(found);  // a repeat is not a second delay
        }
        if (delays.empty())
            throw std::runtime_error("no live event arrived");
        std::printf(
            "live: %zu events at %d/s, commit to subscriber: median %.0f us, p99 %.0f us, "
            "max %.0f us\n",
            delays.size(), rate, Percentile(delays, 0.5), Percentile(delays, 0.99),
            Percentile(delays, 1.0));
        bridge->Stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bridge_benchmark: %s\n", error.what());
        return 1;
    }
    return 0;
}
