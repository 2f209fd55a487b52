// A chain as it runs: two built fuel-forecourtd stations on their embedded emulators, the
// chain's broker, PostgreSQL, and two fuel-hq workers sharing the stations, with fills on
// both stations while a worker is killed in the middle of its work, the broker restarts
// without its persistence (so that events it had acknowledged to the stations are lost on
// their way to the workers), and PostgreSQL restarts under the workers. Afterwards the head
// office holds each station's journal one to one, and its sales equal the station's own.
#include <signal.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "HqProcess.h"
#include "StoreFixture.h"
#include "testing/Broker.h"
#include "testing/PostgresServer.h"
#include "testing/StationDaemon.h"

#ifndef FUEL_FORECOURTD_PATH
#error "FUEL_FORECOURTD_PATH must name the built program"
#endif

namespace fuel::hq::test {
namespace {

using namespace std::chrono_literals;
using bridge::test::StationDaemon;
using nlohmann::json;

// The stations give the head office's identity the back office's role: replays are allowed.
constexpr char kOffice[] = "groups = south\nidentity.hq = backoffice\n";

class ChainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        try {
            postgres_ = std::make_unique<fuel::test::PostgresServer>();
            broker_ = std::make_unique<fuel::test::MosquittoBroker>();
        } catch (const fuel::test::PostgresMissing& error) {
            GTEST_SKIP() << error.what();
        }
        database_ = postgres_->CreateDatabase("chain");
    }

    std::unique_ptr<HqProcess> Worker(const std::string& name) {
        // Quiet stations asked soon for what follows their events: the test's last losses
        // have nothing after them.
        return std::make_unique<HqProcess>(dir_.Path(), name, *broker_, database_,
                                           "probe-after = 1\n");
    }

    // What the head office holds of a station: its events in order, and its sales by id.
    std::vector<json> StoredEvents(Connection& db, const std::string& station) {
        const Result r = db.Exec(
            "SELECT sequence, type, data::text FROM events WHERE station = $1 ORDER BY sequence",
            {station});
        std::vector<json> events;
        for (int row = 0; row < r.Rows(); ++row) {
            events.push_back({{"id", r.Integer(row, 0)},
                              {"type", std::string(r.Text(row, 1))},
                              {"data", json::parse(r.Text(row, 2))}});
        }
        return events;
    }
    std::map<std::int64_t, json> StoredSales(Connection& db, const std::string& station) {
        const Result r = db.Exec("SELECT id, data::text FROM sales WHERE station = $1", {station});
        std::map<std::int64_t, json> sales;
        for (int row = 0; row < r.Rows(); ++row)
            sales[r.Integer(row, 0)] = json::parse(r.Text(row, 1));
        return sales;
    }
    std::int64_t Column(Connection& db, const std::string& column, const std::string& station) {
        const Result r = db.Exec("SELECT " + column + " FROM stations WHERE id = $1", {station});
        return r.Rows() == 0 ? -1 : r.Integer(0, 0);
    }

    fuel::test::TemporaryDirectory dir_;
    std::unique_ptr<fuel::test::PostgresServer> postgres_;
    std::unique_ptr<fuel::test::MosquittoBroker> broker_;
    std::string database_;
};

TEST_F(ChainTest,
       HoldsEachStationsJournalOnceThroughAKilledWorkerALosingBrokerAndARestartedDatabase) {
    // What the head office asks the stations for again, as the broker carries it.
    fuel::test::MqttPeer asks(broker_->Port(), {"stations/+/commands/replay/+"}, "asks");
    auto first = Worker("fuel-hq-1");
    auto second = Worker("fuel-hq-2");
    StationDaemon a(FUEL_FORECOURTD_PATH, "a", broker_->Url(), kOffice);
    StationDaemon b(FUEL_FORECOURTD_PATH, "b", broker_->Url(), kOffice);
    a.Start();
    b.Start();
    const auto round = [&] {
        a.Fill(0.4);
        b.Fill(0.4);
        a.Toggle(2);
        b.Toggle(2);
    };
    round();

    // A worker killed while events come: what it had taken from the broker and not committed
    // is gone from the broker too (QoS 1 counts it delivered).
    std::thread killer([&] {
        std::this_thread::sleep_for(300ms);
        first->Kill();
    });
    round();
    killer.join();
    first = Worker("fuel-hq-1");

    // The workers away, the broker queues for them; then it restarts without persistence, and
    // what it held is lost for good: the stations had its acknowledgements.
    first->Kill();
    second->Kill();
    a.Toggle(4);  // closed and opened twice: open again for the next fill
    b.Toggle(4);
    std::this_thread::sleep_for(500ms);
    broker_->Forget();
    broker_->Start();
    first = Worker("fuel-hq-1");
    second = Worker("fuel-hq-2");
    round();

    // PostgreSQL gone for a moment under the workers' intake.
    postgres_->Stop();
    round();
    postgres_->Start();
    round();

    Connection db(database_);
    // A fill's last events (the nozzle hung up, the point idle) come a while after its sale:
    // a station is quiet once its journal has not moved for a few seconds.
    const auto quiet = [](StationDaemon& station) {
        std::int64_t last = station.LastSequence();
        for (int still = 0; still < 15; ++still) {
            std::this_thread::sleep_for(200ms);
            if (const std::int64_t now = station.LastSequence(); now != last) {
                last = now;
                still = 0;
            }
        }
    };
    const auto caughtUp = [&](StationDaemon& station) {
        return Eventually(
            [&] {
                const std::int64_t last = station.LastSequence();
                return Column(db, "watermark", station.Id()) == last &&
                       Column(db, "applied", station.Id()) == last;
            },
            120s);
    };
    quiet(a);
    quiet(b);
    ASSERT_TRUE(caughtUp(a) && caughtUp(b)) << first->Log() << second->Log();
    // The last events lost with nothing after them: no gap shows, and only asking the quiet
    // stations for what follows brings them.
    first->Kill();
    second->Kill();
    // Closed, so that no customer walks up and makes an event that would show the loss.
    a.Toggle(1);
    b.Toggle(1);
    quiet(a);
    quiet(b);
    // The broker has acknowledged them to the stations, which will not send them again.
    for (StationDaemon* station : {&a, &b}) {
        ASSERT_TRUE(
            Eventually([&] { return station->StoredPosition() == station->LastSequence(); }, 30s));
    }
    broker_->Forget();
    broker_->Start();
    first = Worker("fuel-hq-1");
    second = Worker("fuel-hq-2");

    for (StationDaemon* station : {&a, &b}) {
        ASSERT_TRUE(caughtUp(*station))
            << station->Id() << ": watermark " << Column(db, "watermark", station->Id())
            << ", applied " << Column(db, "applied", station->Id()) << " of "
            << station->LastSequence() << "\n"
            << first->Log() << second->Log();

        std::vector<json> journal;
        for (json& event : station->Journal())
            journal.push_back(
                {{"id", event["id"]}, {"type", event["type"]}, {"data", event["data"]}});
        EXPECT_EQ(StoredEvents(db, station->Id()), journal) << station->Id();

        std::map<std::int64_t, json> sales;
        for (json& sale : station->Sales())
            sales[sale["id"].get<std::int64_t>()] = sale;
        EXPECT_FALSE(sales.empty());
        EXPECT_EQ(StoredSales(db, station->Id()), sales) << station->Id();
    }
    // The losses were real: the head office had to ask for events again.
    EXPECT_FALSE(asks.Messages().empty()) << first->Log() << second->Log();
    EXPECT_EQ(a.Stop(), 0);
    EXPECT_EQ(b.Stop(), 0);
}

}  // namespace
}  // namespace fuel::hq::test
