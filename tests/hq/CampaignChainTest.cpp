// Price campaigns as a chain runs them: two built fuel-forecourtd stations of group south on
// their embedded emulators, the chain's broker, PostgreSQL and two built fuel-hq workers that
// share what is due, all shared by every case (a station or the workers are stopped and
// started again where a case needs it).
// Station a also has a fuel point whose controller never answers, selling grade 80 alone:
// a price for it cannot be confirmed by its pump.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "HqProcess.h"
#include "http/Time.h"
#include "testing/Broker.h"
#include "testing/ChildProcess.h"
#include "testing/HttpClient.h"
#include "testing/PostgresServer.h"
#include "testing/StationDaemon.h"
#include "testing/TestFiles.h"

#ifndef FUEL_FORECOURTD_PATH
#error "FUEL_FORECOURTD_PATH must name the built program"
#endif

namespace fuel::hq::test {
namespace {

using namespace std::chrono_literals;
using bridge::test::StationDaemon;
using nlohmann::json;

constexpr char kOffice[] = "groups = south\nidentity.hq = backoffice\n";
// Appended after the station's [mqtt] lines: a fuel point at an address no controller of the
// test bus answers.
constexpr char kSilentPoint[] =
    "[grade 80]\nname = Test 80\nprice = 40.00\n"
    "[fuel-point 2]\nline = north\naddress = 9\nnozzles = 80\n";
// The workers send a command unanswered for 3 s again, and bound grade 95's price.
constexpr char kResend[] = "resend-after = 3\n";
constexpr char kBounds[] = "[bounds]\n95.highest = 50.00\n*.largest-change = 5.00\n";

struct Chain {
    fuel::test::TemporaryDirectory dir;
    std::unique_ptr<fuel::test::PostgresServer> postgres;
    std::unique_ptr<fuel::test::MosquittoBroker> broker;
    std::string database;
    std::unique_ptr<StationDaemon> a, b;
    std::unique_ptr<HqProcess> workers[2];
    std::map<std::string, std::string> tokens;  // by name
};

class CampaignChainTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        auto chain = std::make_unique<Chain>();
        try {
            chain->postgres = std::make_unique<fuel::test::PostgresServer>();
            chain->broker = std::make_unique<fuel::test::MosquittoBroker>();
        } catch (const fuel::test::PostgresMissing& error) {
            missing_ = error.what();
            return;
        }
        chain->database = chain->postgres->CreateDatabase("campaigns");
        chain_ = chain.release();
        StartWorker(0);
        StartWorker(1);
        for (const auto& [name, role] :
             {std::pair{"alice", "hq-pricing"}, {"bob", "hq-admin"}, {"carol", "hq-admin"}})
            chain_->tokens[name] = Token(name, role);
        chain_->a = std::make_unique<StationDaemon>(
            FUEL_FORECOURTD_PATH, "a", chain_->broker->Url(), std::string(kOffice) + kSilentPoint);
        chain_->b = std::make_unique<StationDaemon>(FUEL_FORECOURTD_PATH, "b",
                                                    chain_->broker->Url(), kOffice);
        chain_->a->Start();
        chain_->b->Start();
    }
    static void TearDownTestSuite() {
        if (chain_ != nullptr) {
            for (StationDaemon* station : {chain_->a.get(), chain_->b.get()}) {
                if (station->Running()) {
                    EXPECT_EQ(station->Stop(), 0);
                }
            }
            for (auto& worker : chain_->workers)
                worker.reset();
        }
        delete chain_;
        chain_ = nullptr;
    }
    void SetUp() override {
        if (chain_ == nullptr)
            GTEST_SKIP() << missing_;
        // Both stations known and online before a campaign names them.
        ASSERT_TRUE(Eventually([] { return Online("a") && Online("b"); }, 60s)) << Logs();
    }

    static void StartWorker(int which) {
        chain_->workers[which] =
            std::make_unique<HqProcess>(chain_->dir.Path(), "fuel-hq-" + std::to_string(which + 1),
                                        *chain_->broker, chain_->database, kResend, kBounds);
    }
    static std::string Logs() {
        std::string logs;
        for (const auto& worker : chain_->workers)
            logs += worker ? worker->Log() : "";
        return logs;
    }
    static std::string Token(const std::string& name, const std::string& role) {
        const auto dir = chain_->dir.Path();
        fuel::test::ChildProcess add(
            FUEL_HQ_PATH, {"token", "add", name, "--role", role, "--database", chain_->database},
            dir / "token.out", dir / "token.err");
        EXPECT_EQ(add.Wait(30s), 0) << fuel::test::ReadBytes(dir / "token.err");
        std::string text = fuel::test::ReadBytes(dir / "token.out");
        return text.substr(0, text.find('\n'));
    }
    static fuel::test::HttpAnswer Send(const std::string& who, const std::string& method,
                                       const std::string& target, const json& body = nullptr) {
        static int keys = 0;
        // Either worker answers alike: ask the first that runs.
        const auto& worker = chain_->workers[0] ? chain_->workers[0] : chain_->workers[1];
        fuel::test::HttpClient client(worker->Port());
        std::vector<std::pair<std::string, std::string>> headers = {
            {"Authorization", "Bearer " + chain_->tokens.at(who)}};
        if (method != "GET")
            headers.emplace_back("Idempotency-Key", "key-" + std::to_string(++keys));
        return client.Send(method, target, headers, body.is_null() ? "" : body.dump());
    }
    static bool Online(const std::string& station) {
        const auto answer = Send("alice", "GET", "/api/v1/stations/" + station);
        return answer.status == 200 && answer.Json()["station"]["status"] == "online";
    }
    static json Campaign(std::int64_t id) {
        return Send("alice", "GET", "/api/v1/price-campaigns/" + std::to_string(id)).Json();
    }
    // The campaign once every outcome is in one of `states`.
    static json Settled(std::int64_t id, const std::set<std::string>& states) {
        json campaign;
        Eventually(
            [&] {
                campaign = Campaign(id);
                for (const json& outcome : campaign["outcomes"]) {
                    if (!states.contains(outcome["state"].get<std::string>()))
                        return false;
                }
                return true;
            },
            60s);
        return campaign;
    }
    static std::int64_t Create(const std::string& who, const json& body) {
        const auto answer = Send(who, "POST", "/api/v1/price-campaigns", body);
        EXPECT_EQ(answer.status, 201) << answer.body;
        return answer.status == 201 ? answer.Json()["id"].get<std::int64_t>() : 0;
    }
    // The station's own journal: its price events that set `grade` to `price`.
    static int PriceEvents(StationDaemon& station, const std::string& grade, double price) {
        int count = 0;
        for (const json& event : station.Journal()) {
            if (event["type"] == "price" && event["data"]["grade"]["code"] == grade &&
                std::abs(event["data"]["grade"]["price"].get<double>() - price) < 1e-9)
                ++count;
        }
        return count;
    }
    static double PriceAt(StationDaemon& station, const std::string& grade) {
        const json forecourt = station.Forecourt();
        for (const json& each : forecourt["grades"]) {
            if (each["code"] == grade)
                return each["price"].get<double>();
        }
        return 0;
    }
    static std::vector<std::string> States(const json& campaign) {
        std::vector<std::string> states;
        for (const json& outcome : campaign["outcomes"])
            states.push_back(outcome["station"].get<std::string>() + ":" +
                             outcome["state"].get<std::string>());
        return states;
    }

    static inline Chain* chain_ = nullptr;
    static inline std::string missing_;
};

TEST_F(CampaignChainTest, AGroupsCampaignReachesEachStationOnceAndApplies) {
    const std::int64_t id =
        Create("alice", {{"grade", "95"}, {"price", 45.70}, {"groups", {"south"}}});
    const json campaign = Settled(id, {"applied", "failed"});
    EXPECT_EQ(States(campaign), (std::vector<std::string>{"a:applied", "b:applied"}))
        << campaign.dump() << Logs();
    EXPECT_EQ(campaign["state"], "done");
    // Past the resend time: nothing more goes out, and each journal has the change once.
    std::this_thread::sleep_for(4s);
    for (StationDaemon* station : {chain_->a.get(), chain_->b.get()}) {
        EXPECT_EQ(PriceAt(*station, "95"), 45.70) << station->Id();
        EXPECT_EQ(PriceEvents(*station, "95", 45.70), 1) << station->Id();
    }
    const json after = Campaign(id);
    for (const json& outcome : after["outcomes"])
        EXPECT_EQ(outcome["attempts"], 1) << outcome.dump();
}

TEST_F(CampaignChainTest, APriceAPumpDoesNotConfirmFailsWithTheStationsReason) {
    const std::int64_t id =
        Create("alice", {{"grade", "80"}, {"price", 41.00}, {"stations", {"a"}}});
    const json campaign = Settled(id, {"applied", "failed"});
    ASSERT_EQ(States(campaign), std::vector<std::string>{"a:failed"}) << campaign.dump();
    EXPECT_EQ(campaign["outcomes"][0]["reason"], "price-not-confirmed");
    EXPECT_NE(campaign["outcomes"][0]["message"].get<std::string>().find("fuel point 2"),
              std::string::npos)
        << campaign.dump();
}

TEST_F(CampaignChainTest, AHeldCampaignIsSentOnceAnotherAdministratorApprovesIt) {
    const json body = {{"grade", "95"}, {"price", 55.00}, {"stations", {"b"}}};
    // The dry run shows what would hold it, and makes nothing.
    const auto check = Send("bob", "POST", "/api/v1/price-campaigns/check", body);
    ASSERT_EQ(check.status, 200) << check.body;
    EXPECT_EQ(check.Json()["held"].size(), 2u) << check.body;  // highest, largest change at b
    const std::int64_t id = Create("bob", body);
    json campaign = Campaign(id);
    EXPECT_EQ(campaign["state"], "held");
    std::vector<std::string> bounds;
    for (const json& held : campaign["held"])
        bounds.push_back(held["bound"]);
    EXPECT_EQ(bounds, (std::vector<std::string>{"highest", "largest-change"}));
    const std::string approve = "/api/v1/price-campaigns/" + std::to_string(id) + "/approve";
    EXPECT_EQ(Send("bob", "POST", approve, json::object()).Json()["error"]["code"], "own-campaign");
    EXPECT_EQ(Send("alice", "POST", approve, json::object()).status, 403);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(Campaign(id)["outcomes"][0]["attempts"], 0) << "nothing sent while held";
    EXPECT_EQ(Send("carol", "POST", approve, json::object()).status, 200);
    campaign = Settled(id, {"applied", "failed"});
    EXPECT_EQ(States(campaign), std::vector<std::string>{"b:applied"}) << campaign.dump();
    EXPECT_EQ(campaign["approvedBy"], "carol");
    EXPECT_EQ(PriceAt(*chain_->b, "95"), 55.00);
    // A price the controllers cannot hold is refused outright, naming why.
    const auto refused = Send("alice", "POST", "/api/v1/price-campaigns",
                              {{"grade", "95"}, {"price", 45.705}, {"stations", {"b"}}});
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.Json()["error"]["code"], "price-step") << refused.body;
}

TEST_F(CampaignChainTest, AnOfflineStationIsUnreachableThenAppliedOnceBack) {
    StationDaemon& b = *chain_->b;
    EXPECT_EQ(b.Stop(), 0);
    ASSERT_TRUE(Eventually([] { return !Online("b"); }, 60s));
    const std::int64_t id =
        Create("alice", {{"grade", "92"}, {"price", 48.20}, {"stations", {"b"}}});
    json campaign = Settled(id, {"unreachable"});
    EXPECT_EQ(States(campaign), std::vector<std::string>{"b:unreachable"}) << campaign.dump();
    EXPECT_EQ(campaign["state"], "sending");
    b.Start();
    campaign = Settled(id, {"applied", "failed"});
    EXPECT_EQ(States(campaign), std::vector<std::string>{"b:applied"}) << campaign.dump();
    EXPECT_EQ(PriceEvents(b, "92", 48.20), 1);
}

TEST_F(CampaignChainTest, ACampaignSetForLaterIsSentAtItsTimeAcrossARestart) {
    const auto at = std::chrono::system_clock::now() + 6s;
    const std::string when = http::FormatTime(at);
    const std::int64_t id =
        Create("alice", {{"grade", "92"}, {"price", 48.30}, {"stations", {"a"}}, {"at", when}});
    EXPECT_EQ(Campaign(id)["state"], "scheduled");
    for (auto& worker : chain_->workers) {
        worker->Kill();
        worker.reset();
    }
    std::this_thread::sleep_for(7s);
    EXPECT_NE(PriceAt(*chain_->a, "92"), 48.30) << "nothing was sent before it";
    // Whichever worker comes back first sends it.
    StartWorker(1);
    const json campaign = Settled(id, {"applied", "failed"});
    ASSERT_EQ(States(campaign), std::vector<std::string>{"a:applied"}) << campaign.dump();
    EXPECT_GE(campaign["outcomes"][0]["sentAt"].get<std::string>(), when.substr(0, 19));
    EXPECT_EQ(PriceAt(*chain_->a, "92"), 48.30);
    StartWorker(0);
}

TEST_F(CampaignChainTest, ReportsEqualSumsOfTheStationsOwnSales) {
    chain_->a->Fill(0.4);
    chain_->a->Fill(0.7);
    chain_->b->Fill(0.5);
    // Per station and grade, from the stations' own lists of sales.
    struct Sums {
        double volume = 0;
        double amount = 0;
        std::int64_t count = 0;
    };
    std::map<std::pair<std::string, std::string>, Sums> wanted;
    std::int64_t sales = 0;
    for (StationDaemon* station : {chain_->a.get(), chain_->b.get()}) {
        for (const json& sale : station->Sales()) {
            Sums& sums = wanted[{station->Id(), sale["grade"].get<std::string>()}];
            sums.volume += sale["volume"].get<double>();
            sums.amount += sale["amount"].get<double>();
            ++sums.count;
            ++sales;
        }
    }
    const std::string target = "/api/v1/reports/sales?from=2000-01-01T00:00:00Z&by=station,grade";
    json report;
    ASSERT_TRUE(Eventually(
        [&] {
            report = Send("alice", "GET", target).Json();
            std::int64_t count = 0;
            for (const json& row : report["rows"])
                count += row["count"].get<std::int64_t>();
            return count == sales;
        },
        60s))
        << report.dump() << Logs();
    ASSERT_EQ(report["rows"].size(), wanted.size()) << report.dump();
    for (const json& row : report["rows"]) {
        const auto found = wanted.find({row["station"], row["grade"]});
        ASSERT_NE(found, wanted.end()) << row.dump();
        EXPECT_NEAR(row["volume"].get<double>(), found->second.volume, 1e-9) << row.dump();
        EXPECT_NEAR(row["amount"].get<double>(), found->second.amount, 1e-9) << row.dump();
        EXPECT_EQ(row["count"], found->second.count) << row.dump();
    }
}

}  // namespace
}  // namespace fuel::hq::test
