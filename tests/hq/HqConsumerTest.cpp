// The worker's consumer against a real private mosquitto, with a store that records what it
// is handed: MQTT 5 shared subscription and the stations' own topics, batches, a store that
// fails keeping its batch, and the gaps asked for on each station's replay topic.
#include "hq/Consumer.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"
#include "testing/Broker.h"
#include "testing/Eventually.h"

namespace fuel::hq {
namespace {

using namespace std::chrono_literals;

class RecordingStore : public ConsumerStore {
  public:
    std::vector<std::string> Store(const std::vector<bridge::MqttMessage>& batch) override {
        std::lock_guard lock(mutex_);
        if (failures_ > 0) {
            --failures_;
            throw std::runtime_error("the database is restarting");
        }
        batches_.push_back(batch);
        std::set<std::string> stations;
        for (const auto& message : batch) {
            if (const auto topic = bridge::ParseStationTopic(message.topic))
                stations.insert(topic->station);
        }
        return {stations.begin(), stations.end()};
    }
    void Apply(const std::vector<std::string>& stations) override {
        std::lock_guard lock(mutex_);
        applied_.push_back(stations);
    }
    std::vector<GapRequest> GapsToAsk() override {
        std::lock_guard lock(mutex_);
        return std::exchange(gaps_, {});
    }
    void CheckHealth() override {}

    void FailNext(int times) {
        std::lock_guard lock(mutex_);
        failures_ = times;
    }
    void AddGap(GapRequest gap) {
        std::lock_guard lock(mutex_);
        gaps_.push_back(std::move(gap));
    }
    std::vector<std::string> Topics() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> topics;
        for (const auto& batch : batches_)
            for (const auto& message : batch)
                topics.push_back(message.topic + " " + message.payload);
        return topics;
    }
    std::size_t Batches() {
        std::lock_guard lock(mutex_);
        return batches_.size();
    }
    std::vector<std::vector<std::string>> Applied() {
        std::lock_guard lock(mutex_);
        return applied_;
    }

  private:
    std::mutex mutex_;
    int failures_ = 0;
    std::vector<std::vector<bridge::MqttMessage>> batches_;
    std::vector<std::vector<std::string>> applied_;
    std::vector<GapRequest> gaps_;
};

using fuel::test::Eventually;

class HqConsumerTest : public ::testing::Test {
  protected:
    ConsumerSettings Settings() {
        ConsumerSettings settings;
        settings.broker.host = "127.0.0.1";
        settings.broker.port = broker_.Port();
        settings.broker.clientId = "hq-test-1";
        settings.broker.mqtt5 = true;
        settings.broker.cleanSession = false;
        settings.identity = "hq";
        settings.batchSize = 3;
        settings.batchTime = 50ms;
        settings.applyTime = 20ms;
        settings.gapCheck = 50ms;
        settings.retry = 100ms;
        return settings;
    }
    fuel::test::MosquittoBroker broker_;
    RecordingStore store_;
};

TEST_F(HqConsumerTest, StoresEveryTopicItTakesInBatches) {
    Consumer consumer(Settings(), store_);
    consumer.Start();
    ASSERT_TRUE(Eventually([&] { return consumer.Counters().connections.load() == 1; }));
    fuel::test::MqttPeer station(broker_.Port(), {});
    // The subscriptions are made after the CONNACK: wait until one message goes through.
    ASSERT_TRUE(Eventually([&] {
        station.Publish(bridge::StatusTopic("north-1"), "online");
        return !store_.Topics().empty();
    }));
    for (int i = 1; i <= 7; ++i)
        ASSERT_TRUE(station.Publish(bridge::EventTopic("north-1", "sale"), std::to_string(i)));
    ASSERT_TRUE(station.Publish(bridge::InfoTopic("south-2"), "{}"));
    ASSERT_TRUE(station.Publish(bridge::ReplyTopic("south-2"), "{}"));
    // Not ours: a command to a station.
    ASSERT_TRUE(station.Publish(bridge::ReplayCommandTopic("north-1", "x"), "{}"));
    // The replies come last: with them, everything before them (one publisher, in order).
    const auto has = [&](const std::string& text) {
        const auto topics = store_.Topics();
        return std::find(topics.begin(), topics.end(), text) != topics.end();
    };
    ASSERT_TRUE(Eventually([&] { return has("stations/south-2/replies {}"); }));
    std::this_thread::sleep_for(200ms);  // time for a command, had it been taken
    const auto topics = store_.Topics();
    std::vector<std::string> events;
    for (const auto& topic : topics) {
        if (topic.starts_with("stations/north-1/events/sale "))
            events.push_back(topic.substr(topic.find(' ') + 1));
    }
    EXPECT_EQ(events, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_NE(std::find(topics.begin(), topics.end(), "stations/south-2/info {}"), topics.end());
    EXPECT_NE(std::find(topics.begin(), topics.end(), "stations/south-2/replies {}"), topics.end());
    for (const auto& topic : topics)
        EXPECT_EQ(topic.find("/commands/"), std::string::npos) << topic;
    // Batches of at most three; the stations they held applied after them, each once per
    // apply however many batches brought it.
    EXPECT_GE(store_.Batches(), 4u);
    bool appliedNorth = false;
    for (const auto& stations : store_.Applied()) {
        EXPECT_TRUE(std::is_sorted(stations.begin(), stations.end()));
        EXPECT_EQ(std::adjacent_find(stations.begin(), stations.end()), stations.end());
        appliedNorth = appliedNorth || std::count(stations.begin(), stations.end(), "north-1");
    }
    EXPECT_TRUE(appliedNorth);
    consumer.Stop();
}

TEST_F(HqConsumerTest, ABatchTheStoreRefusesIsKeptAndStoredLater) {
    Consumer consumer(Settings(), store_);
    consumer.Start();
    fuel::test::MqttPeer station(broker_.Port(), {});
    ASSERT_TRUE(Eventually([&] {
        station.Publish(bridge::StatusTopic("north-1"), "online");
        return !store_.Topics().empty();
    }));
    store_.FailNext(3);
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(station.Publish(bridge::EventTopic("north-1", "sale"), std::to_string(i)));
    const auto events = [&] {
        std::vector<std::string> found;
        for (const auto& topic : store_.Topics()) {
            if (topic.starts_with("stations/north-1/events/"))
                found.push_back(topic);
        }
        return found;
    };
    ASSERT_TRUE(Eventually([&] { return events().size() >= 3; }));
    EXPECT_EQ(consumer.Counters().storeFailures.load(), 3u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(events(), (std::vector<std::string>{"stations/north-1/events/sale 1",
                                                  "stations/north-1/events/sale 2",
                                                  "stations/north-1/events/sale 3"}));
    consumer.Stop();
}

TEST_F(HqConsumerTest, AGapIsAskedForOnTheStationsReplayTopic) {
    fuel::test::MqttPeer station(broker_.Port(), {bridge::ReplayCommandFilter("north-1")});
    Consumer consumer(Settings(), store_);
    consumer.Start();
    ASSERT_TRUE(Eventually([&] { return consumer.Counters().connections.load() == 1; }));
    store_.AddGap({"north-1", 5, 9});
    ASSERT_TRUE(station.WaitFor([](const auto& messages) { return !messages.empty(); }, 10s));
    const auto messages = station.Messages();
    EXPECT_EQ(messages[0].topic, bridge::ReplayCommandTopic("north-1", "hq"));
    const auto request = nlohmann::json::parse(messages[0].payload);
    EXPECT_EQ(request["from"], 5);
    EXPECT_EQ(request["to"], 9);
    EXPECT_TRUE(request["id"].is_string());
    EXPECT_FALSE(request["id"].get<std::string>().empty());
    // Counted once the library has taken it, which may be after the station has it.
    EXPECT_TRUE(Eventually([&] { return consumer.Counters().replayRequests.load() == 1u; }));
    consumer.Stop();
}

TEST_F(HqConsumerTest, WhatComesWhileTheWorkerIsAwayWaitsInItsSession) {
    {
        Consumer consumer(Settings(), store_);
        consumer.Start();
        ASSERT_TRUE(Eventually([&] { return consumer.Counters().connections.load() == 1; }));
        fuel::test::MqttPeer probe(broker_.Port(), {});
        ASSERT_TRUE(Eventually([&] {
            probe.Publish(bridge::EventTopic("probe", "x"), "p");
            return !store_.Topics().empty();
        }));
        consumer.Stop();
    }
    const std::size_t before = store_.Topics().size();
    fuel::test::MqttPeer station(broker_.Port(), {});
    ASSERT_TRUE(station.Publish(bridge::EventTopic("north-1", "sale"), "while-away"));
    Consumer again(Settings(), store_);
    again.Start();
    ASSERT_TRUE(Eventually([&] { return store_.Topics().size() > before; }));
    const auto topics = store_.Topics();
    EXPECT_NE(std::find(topics.begin(), topics.end(), "stations/north-1/events/sale while-away"),
              topics.end());
    again.Stop();
}

}  // namespace
}  // namespace fuel::hq
