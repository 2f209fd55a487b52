// The built fuel-hq end to end: a private PostgreSQL, a private mosquitto, the daemon as a
// child process, and events published by hand as a station's bridge publishes them. What a
// test reads back it reads from the database and the daemon's API, never from the worker.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "HqProcess.h"
#include "StoreFixture.h"
#include "bridge/Topics.h"
#include "forecourt/EventTypes.h"
#include "testing/Broker.h"
#include "testing/ChildProcess.h"
#include "testing/HqProcess.h"
#include "testing/HttpClient.h"
#include "testing/StationJournal.h"
#include "testing/TestFiles.h"

#ifndef FUEL_HQ_PATH
#error "FUEL_HQ_PATH must name the built program"
#endif

namespace fuel::hq::test {
namespace {

using namespace std::chrono_literals;
namespace event_type = forecourt::event_type;
using fuel::test::ChildProcess;
using fuel::test::MosquittoBroker;
using fuel::test::MqttPeer;

std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

forecourt::Sale SaleOf(forecourt::SaleId id, int point, double volume) {
    forecourt::Sale sale;
    sale.id = id;
    sale.fuelPoint = point;
    sale.nozzle = 1;
    sale.grade = "95";
    sale.price = 1.99;
    sale.volume = volume;
    sale.amount = volume * 1.99;
    sale.authorisedBy = "till-1";
    sale.totalBefore = 1000;
    sale.totalAfter = 1000 + volume;
    sale.authorisedAt = At(0);
    sale.startedAt = At(1);
    sale.endedAt = At(60);
    return sale;
}

nlohmann::json PointIn(int id, forecourt::FuelPointState state) {
    forecourt::FuelPointView view;
    view.id = id;
    view.line = "line-1";
    view.address = id;
    view.state = state;
    view.nozzles = {{1, "95", 1.99, false}};
    return forecourt::ToJson(view);
}

// A short journal: fuel points moving, two sales, the first locked and cleared.
StationJournal Journal(const std::string& station) {
    StationJournal journal(station);
    journal.Add(event_type::kFuelPoint, PointIn(1, forecourt::FuelPointState::Idle));
    journal.Add(event_type::kFuelPoint, PointIn(1, forecourt::FuelPointState::Fuelling));
    forecourt::Sale first = SaleOf(1, 1, 20.5);
    journal.Add(event_type::kSale, forecourt::ToJson(first));
    journal.Add(event_type::kFuelPoint, PointIn(1, forecourt::FuelPointState::Idle));
    first.state = forecourt::FillState::Locked;
    first.lockedBy = "till-2";
    first.lockedAt = At(70);
    journal.Add(event_type::kSale, forecourt::ToJson(first));
    first.state = forecourt::FillState::Cleared;
    first.clearedBy = "till-2";
    first.clearedAt = At(80);
    journal.Add(event_type::kSale, forecourt::ToJson(first));
    journal.Add(event_type::kSale, forecourt::ToJson(SaleOf(2, 2, 7.25)));
    return journal;
}

class HqDaemonTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (IsSkipped())
            return;
        try {
            broker_ = std::make_unique<MosquittoBroker>();
        } catch (const std::runtime_error& e) {
            GTEST_SKIP() << e.what();
        }
    }

    // Publishes until the database holds the station's first event: the shared
    // subscription drops what comes before a worker subscribed, and a repeat is harmless.
    void Prime(MqttPeer& peer, const StationJournal& journal) {
        const Message& first = journal.Messages().front();
        ASSERT_TRUE(Eventually([&] {
            peer.Publish(first.topic, first.payload);
            return Eventually([&] { return Watermark(journal.Station()) >= 1; }, 200ms);
        })) << "the worker took nothing";
    }
    void PublishAll(MqttPeer& peer, const std::vector<Message>& messages) {
        for (const Message& message : messages)
            ASSERT_TRUE(peer.Publish(message.topic, message.payload));
    }

    std::int64_t Scalar(const std::string& sql, std::initializer_list<Parameter> parameters = {}) {
        const Result r = Db().Exec(sql, parameters);
        return r.Rows() == 0 || r.IsNull(0, 0) ? -1 : r.Integer(0, 0);
    }
    std::int64_t Watermark(const std::string& station) {
        return Scalar("SELECT watermark FROM stations WHERE id = $1", {station});
    }
    std::int64_t Applied(const std::string& station) {
        return Scalar("SELECT applied FROM stations WHERE id = $1", {station});
    }
    // Everything derived and stored, as one text to compare.
    std::string Derived() {
        std::string text;
        for (const char* sql :
             {"SELECT station, sequence, type, data::text FROM events ORDER BY 1, 2",
              "SELECT station, id, state, volume::text, amount::text, sequence FROM sales "
              "ORDER BY 1, 2",
              "SELECT station, id, state, sequence FROM fuel_points ORDER BY 1, 2",
              "SELECT id, watermark, applied, published FROM stations ORDER BY 1"}) {
            const Result r = Db().Exec(sql);
            for (int row = 0; row < r.Rows(); ++row) {
                for (int column = 0; column < r.Columns(); ++column)
                    text += std::string(r.Text(row, column)) + "|";
                text += "\n";
            }
        }
        return text;
    }
    std::string Token() {
        ChildProcess token(FUEL_HQ_PATH,
                           {"token", "add", "viewer", "--role", "hq-viewer", "--database", Url()},
                           dir_.Path() / "token.out", dir_.Path() / "token.err");
        EXPECT_EQ(token.Wait(30s), 0) << Read(dir_.Path() / "token.err");
        std::string text = Read(dir_.Path() / "token.out");
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        return text;
    }
    nlohmann::json Sales(std::uint16_t port, const std::string& token, const std::string& station) {
        fuel::test::HttpClient client(port);
        const auto answer = client.Send("GET", "/api/v1/sales?station=" + station,
                                        {{"Authorization", "Bearer " + token}});
        EXPECT_EQ(answer.status, 200) << answer.body;
        return answer.Json().value("sales", nlohmann::json::array());
    }

    fuel::test::TemporaryDirectory dir_;
    std::unique_ptr<MosquittoBroker> broker_;
};

TEST_F(HqDaemonTest, AnEventPublishedTwiceChangesNothing) {
    HqProcess worker(dir_.Path(), "hq-1", *broker_, Url());
    MqttPeer station(broker_->Port(), {}, "north-bridge");
    const StationJournal journal = Journal("north");
    Prime(station, journal);
    PublishAll(station, journal.Messages());
    const auto last = static_cast<std::int64_t>(journal.Last());
    ASSERT_TRUE(Eventually([&] { return Applied("north") == last; })) << Derived();
    const std::string before = Derived();
    const std::int64_t changes = Scalar("SELECT count(*) FROM changes");

    // Every event again, in another order, and then one new event behind them: when it is
    // applied, the repeats before it have been taken.
    std::vector<Message> again(journal.Messages().rbegin(), journal.Messages().rend());
    PublishAll(station, again);
    StationJournal longer = journal;
    const Message& next =
        longer.Add(event_type::kFuelPoint, PointIn(2, forecourt::FuelPointState::Calling));
    ASSERT_TRUE(station.Publish(next.topic, next.payload));
    ASSERT_TRUE(Eventually([&] { return Applied("north") == last + 1; }));

    EXPECT_EQ(Scalar("SELECT count(*) FROM events WHERE station = 'north'"), last + 1);
    EXPECT_EQ(Scalar("SELECT count(*) FROM sales WHERE station = 'north'"), 2);
    EXPECT_EQ(Scalar("SELECT count(*) FROM changes"), changes);
    // What the repeats touched is as it was; only the new event's fuel point is new.
    const std::string after = Derived();
    for (const char* line : {"north|1|fuel-point|", "north|1|CLEARED|20.5|", "north|2|PAYABLE|"})
        EXPECT_NE(after.find(line), std::string::npos) << line << "\n" << after;
    EXPECT_NE(before, after);
    worker.Stop();
}

TEST_F(HqDaemonTest, AGapIsAskedForAndTheReplayedEventPassesTheWatermark) {
    HqProcess worker(dir_.Path(), "hq-1", *broker_, Url());
    MqttPeer station(broker_->Port(), {bridge::ReplayCommandTopic("north", "#")}, "north-bridge");
    const StationJournal journal = Journal("north");
    const auto& all = journal.Messages();
    Prime(station, journal);
    // The first sale's event (3) lost on the way; the ones after it come.
    PublishAll(station, {all[1], all[3], all[4], all[5], all[6]});
    ASSERT_TRUE(Eventually([&] {
        return Scalar("SELECT published FROM stations WHERE id = 'north'") == journal.Last();
    }));

    const std::string topic = bridge::ReplayCommandTopic("north", kIdentity);
    ASSERT_TRUE(station.WaitFor([&](const auto& messages) {
        for (const auto& m : messages)
            if (m.topic == topic)
                return true;
        return false;
    })) << Read(dir_.Path() / "hq-1.log");
    nlohmann::json request;
    for (const auto& m : station.Messages())
        if (m.topic == topic)
            request = nlohmann::json::parse(m.payload);
    EXPECT_EQ(request.value("from", 0), 3);
    EXPECT_EQ(request.value("to", 0), 3);
    EXPECT_TRUE(request.contains("id") && request["id"].is_string() &&
                !request["id"].get<std::string>().empty())
        << request;
    // Nothing is applied past the gap.
    EXPECT_EQ(Watermark("north"), 2);
    EXPECT_EQ(Applied("north"), 2);
    const std::string token = Token();
    EXPECT_TRUE(Sales(worker.Port(), token, "north").empty());

    // The station answers with the missing event: the watermark passes it, and the sales
    // come as the journal says.
    ASSERT_TRUE(station.Publish(all[2].topic, all[2].payload));
    ASSERT_TRUE(Eventually([&] { return Applied("north") == journal.Last(); })) << Derived();
    EXPECT_EQ(Watermark("north"), journal.Last());
    EXPECT_EQ(Scalar("SELECT count(*) FROM stations WHERE gap_since IS NOT NULL"), 0);
    const nlohmann::json sales = Sales(worker.Port(), token, "north");
    ASSERT_EQ(sales.size(), 2u) << sales;
    for (const auto& sale : sales) {
        const bool first = sale.value("id", 0) == 1;
        EXPECT_EQ(sale.value("state", ""), first ? "CLEARED" : "PAYABLE") << sale;
        EXPECT_DOUBLE_EQ(sale.value("volume", 0.0), first ? 20.5 : 7.25) << sale;
    }
    worker.Stop();
}

// The station answers that it no longer keeps the missing event: a reply that says all of
// the range is still kept gives nothing up; one whose oldest event is past the gap lets the
// watermark over it, with an alarm for a person, and the rest is applied.
TEST_F(HqDaemonTest, AGapTheStationNoLongerKeepsIsGivenUpWithAnAlarm) {
    HqProcess worker(dir_.Path(), "hq-1", *broker_, Url());
    MqttPeer station(broker_->Port(), {bridge::ReplayCommandTopic("north", "#")}, "north-bridge");
    const StationJournal journal = Journal("north");
    const auto& all = journal.Messages();
    Prime(station, journal);
    PublishAll(station, {all[1], all[3], all[4], all[5], all[6]});
    ASSERT_TRUE(station.WaitFor([](const auto& messages) { return !messages.empty(); }));
    const auto reply = [&](std::int64_t oldest, const char* status) {
        return nlohmann::json{{"id", "r-" + std::to_string(oldest)},
                              {"command", "replay"},
                              {"status", status},
                              {"data", {{"from", 3}, {"to", 3}, {"oldest", oldest}}}}
            .dump();
    };
    // Still kept (the events are on their way), then a price command's reply: nothing given up.
    ASSERT_TRUE(station.Publish(bridge::ReplyTopic("north"), reply(1, "applied")));
    ASSERT_TRUE(station.Publish(bridge::ReplyTopic("north"),
                                R"({"id":"p","command":"price","data":{"from":3,"oldest":9}})"));
    // A probe behind them: once it is held, the replies before it were read.
    StationJournal longer = journal;
    const Message& probe =
        longer.Add(event_type::kFuelPoint, PointIn(2, forecourt::FuelPointState::Calling));
    ASSERT_TRUE(station.Publish(probe.topic, probe.payload));
    ASSERT_TRUE(
        Eventually([&] { return Scalar("SELECT published FROM stations") == longer.Last(); }));
    EXPECT_EQ(Watermark("north"), 2);
    EXPECT_EQ(Scalar("SELECT count(*) FROM alarms"), 0);

    ASSERT_TRUE(station.Publish(bridge::ReplyTopic("north"), reply(4, "failed")));
    ASSERT_TRUE(Eventually([&] { return Applied("north") == longer.Last(); })) << Derived();
    EXPECT_EQ(Scalar("SELECT count(*) FROM events"), longer.Last() - 1);
    EXPECT_EQ(
        Scalar("SELECT count(*) FROM alarms WHERE kind = 'events-lost' AND station = 'north'"), 1);
    // The first sale's later states are applied over the missing first one.
    EXPECT_EQ(Scalar("SELECT count(*) FROM sales WHERE state = 'CLEARED'"), 1);
    worker.Stop();
}

TEST_F(HqDaemonTest, TwoWorkersShareTheStationsWithTheSameResult) {
    std::vector<StationJournal> journals;
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        journals.push_back(Journal(name));
    std::vector<Message> interleaved;
    for (std::size_t i = 0; i < journals.front().Messages().size(); ++i)
        for (const auto& journal : journals)
            interleaved.push_back(journal.Messages()[i]);
    const auto done = [&] {
        for (const auto& journal : journals)
            if (Applied(journal.Station()) != journal.Last())
                return false;
        return true;
    };

    // One worker alone, in a database of its own: the result to compare with.
    std::string alone;
    {
        HqProcess worker(dir_.Path(), "hq-alone", *broker_, Url());
        MqttPeer stations(broker_->Port(), {}, "bridges-alone");
        for (const auto& journal : journals)
            Prime(stations, journal);
        PublishAll(stations, interleaved);
        ASSERT_TRUE(Eventually(done)) << Derived();
        alone = Derived();
        worker.Stop();
    }
    // A broker of their own: the lone worker's session keeps its place in the share.
    Db().Exec("TRUNCATE events, sales, fuel_points, prices, alarms, changes, stations");
    MosquittoBroker broker;
    HqProcess first(dir_.Path(), "hq-1", broker, Url());
    HqProcess second(dir_.Path(), "hq-2", broker, Url());
    MqttPeer stations(broker.Port(), {}, "bridges");
    for (const auto& journal : journals)
        Prime(stations, journal);
    PublishAll(stations, interleaved);
    ASSERT_TRUE(Eventually(done)) << Derived();
    EXPECT_EQ(Derived(), alone);
    const std::uint64_t one = first.Stop();
    const std::uint64_t two = second.Stop();
    // The broker gave each worker its share (every message at least once, some primes twice).
    EXPECT_GT(one, 0u);
    EXPECT_GT(two, 0u);
    EXPECT_GE(one + two, interleaved.size());
}

// A worker killed outright while it takes a journal in: what it had received and not
// committed is gone from the broker's point of view, and only the watermark and the replay
// requests bring it back. The test answers each request as a station does, from its journal.
// Where the kill falls is not forced: whatever it lost, nothing may be missing or doubled.
TEST_F(HqDaemonTest, AWorkerKilledMidIntakeLosesNothingAndDoublesNothing) {
    MqttPeer station(broker_->Port(), {bridge::ReplayCommandTopic("+", "#")}, "bridges");
    std::vector<StationJournal> journals;
    for (const char* name : {"north", "south"}) {
        StationJournal journal = Journal(name);
        for (int i = 0; i < 60; ++i) {
            journal.Add(event_type::kFuelPoint,
                        PointIn(1 + i % 4, i % 2 ? forecourt::FuelPointState::Fuelling
                                                 : forecourt::FuelPointState::Idle));
        }
        journals.push_back(std::move(journal));
    }
    {
        HqProcess doomed(dir_.Path(), "hq-1", *broker_, Url());
        for (const auto& journal : journals)
            Prime(station, journal);
        for (const auto& journal : journals)
            PublishAll(station, journal.Messages());
        doomed.Kill();
    }
    // Whatever it left, the next worker under the same name (its session) finishes. What the
    // broker counted as delivered to the dead worker shows as a gap once the station's next
    // event comes (until then nothing tells the head office how far the journal goes).
    HqProcess next(dir_.Path(), "hq-1", *broker_, Url());
    for (auto& journal : journals) {
        const Message& later =
            journal.Add(event_type::kFuelPoint, PointIn(1, forecourt::FuelPointState::Calling));
        ASSERT_TRUE(station.Publish(later.topic, later.payload));
    }
    std::size_t answered = 0;
    const auto done = [&] {
        const auto messages = station.Messages();
        for (; answered < messages.size(); ++answered) {
            const auto& m = messages[answered];
            const auto topic = bridge::ParseStationTopic(m.topic);
            const auto request = nlohmann::json::parse(m.payload, nullptr, false);
            for (const auto& journal : journals) {
                if (!topic || topic->station != journal.Station() || !request.is_object())
                    continue;
                for (std::int64_t s = request.value("from", 1); s <= request.value("to", 0); ++s)
                    station.Publish(journal.Messages()[static_cast<std::size_t>(s - 1)].topic,
                                    journal.Messages()[static_cast<std::size_t>(s - 1)].payload);
            }
        }
        for (const auto& journal : journals)
            if (Applied(journal.Station()) != journal.Last())
                return false;
        return true;
    };
    ASSERT_TRUE(Eventually(done, 60s)) << Derived();
    RecordProperty("replayRequests", static_cast<int>(station.Messages().size()));
    for (const auto& journal : journals) {
        EXPECT_EQ(Scalar("SELECT count(*) FROM events WHERE station = $1", {journal.Station()}),
                  journal.Last());
        EXPECT_EQ(Scalar("SELECT count(*) FROM sales WHERE station = $1", {journal.Station()}), 2);
        EXPECT_EQ(Scalar("SELECT count(*) FROM sales WHERE station = $1 AND state = 'CLEARED'",
                         {journal.Station()}),
                  1);
    }
    next.Stop();
}

}  // namespace
}  // namespace fuel::hq::test
