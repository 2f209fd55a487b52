// The head office's API in this process, against a real PostgreSQL with the head office's
// schema: who may send what (every route against every role), the sales' pages walked to the
// end, a report against sums made here, alarms acknowledged once, and the change stream
// resumed with Last-Event-ID over a real listener.
#include "hq/Api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include "hq/ChangeStream.h"
#include "hq/Changes.h"
#include "hq/ConnectionPool.h"
#include "hq/OpenApi.h"
#include "hq/Routes.h"
#include "hq/Schema.h"
#include "hq/Schemas.h"
#include "hq/Tokens.h"
#include "http/JsonSchema.h"
#include "http/Listener.h"
#include "http/StaticFiles.h"
#include "testing/HttpClient.h"
#include "testing/TestFiles.h"
#include "tests/hq/StoreFixture.h"

namespace fuel::hq::test {
namespace {

using nlohmann::json;

http::Response Ask(const Api& api, const std::string& method, const std::string& target,
                   const std::string& token = "", const std::string& body = "",
                   const std::string& key = "") {
    http::Request request;
    request.method = method;
    request.target = target;
    request.headers.emplace_back("Host", "127.0.0.1");
    if (!token.empty())
        request.headers.emplace_back("Authorization", "Bearer " + token);
    if (!key.empty())
        request.headers.emplace_back("Idempotency-Key", key);
    request.body = body;
    auto promise = std::make_shared<std::promise<http::Response>>();
    auto future = promise->get_future();
    api.Handle(request, [promise](http::Response r) { promise->set_value(std::move(r)); });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
        return http::ErrorResponse(599, "no-answer", "no answer in 30 s");
    return future.get();
}

json Body(const http::Response& response) {
    return json::parse(response.body, nullptr, false);
}

class HqApiTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (IsSkipped())
            return;
        Migrate(Db());
        pool_ = std::make_unique<ConnectionPool>(Url(), 4);
        tokens_ = std::make_unique<Tokens>(*pool_);
        for (const char* role : {"hq-viewer", "hq-pricing", "hq-admin"})
            token_[role] = tokens_->Add(std::string("client-") + role, role);
        api_ = std::make_unique<Api>(Context{{}, *pool_, *tokens_, bounds_});
        Db().Exec(
            "INSERT INTO stations (id, groups, status, published, watermark, applied) VALUES "
            "('north-1', '{north}', 'online', 12, 10, 10), ('south-2', '{south}', 'offline', 4, "
            "4, 4)");
    }

    void AddSale(const std::string& station, std::int64_t id, const std::string& grade,
                 std::int64_t volumeMillilitres, std::int64_t amountCents, const std::string& ended,
                 const std::string& state = "CLEARED") {
        Db().Exec(
            "INSERT INTO sales (station, id, fuel_point, nozzle, grade, price, volume, amount, "
            "state, started_at, ended_at, data, sequence) VALUES ($1, $2, 1, 1, $3, 50.00, "
            "$4::numeric / 1000, $5::numeric / 100, $6, $7::timestamptz - interval '1 minute', "
            "$7::timestamptz, '{}', $2)",
            {station, id, grade, volumeMillilitres, amountCents, state, ended});
    }

    std::int64_t AddAlarm(const std::string& station, const std::string& kind) {
        return Db()
            .Exec(
                "INSERT INTO alarms (station, kind, message, raised_at) VALUES ($1, $2, 'look', "
                "now()) RETURNING id",
                {station, kind})
            .Integer(0, 0);
    }

    std::unique_ptr<ConnectionPool> pool_;
    std::unique_ptr<Tokens> tokens_;
    std::unique_ptr<Api> api_;
    std::map<std::string, std::string> token_;
    ConfiguredBounds bounds_;
};

// Who may send what: each route with no token and with each role's.
struct Access {
    const char* method;
    const char* target;
    const char* body;
    bool key;
    int none, viewer, pricing, admin;
};

TEST_F(HqApiTest, EveryRouteAgainstEveryRole) {
    AddSale("north-1", 1, "95", 10000, 50000, "2024-05-01T10:00:00Z");
    const std::int64_t alarm = AddAlarm("north-1", "station-silent");
    const std::string acknowledge = "/api/v1/alarms/" + std::to_string(alarm) + "/acknowledge";
    const Access table[] = {
        {"GET", "/api/v1/client", "", false, 401, 200, 200, 200},
        {"GET", "/api/v1/stations", "", false, 401, 200, 200, 200},
        {"GET", "/api/v1/stations?group=north", "", false, 401, 200, 200, 200},
        {"GET", "/api/v1/stations/north-1", "", false, 401, 200, 200, 200},
        {"GET", "/api/v1/stations/nowhere", "", false, 401, 404, 404, 404},
        {"GET", "/api/v1/sales?station=north-1&state=CLEARED", "", false, 401, 200, 200, 200},
        {"GET", "/api/v1/sales?from=yesterday", "", false, 401, 400, 400, 400},
        {"GET", "/api/v1/sales?cursor=zz", "", false, 401, 400, 400, 400},
        {"GET", "/api/v1/reports/sales?from=2024-05-01T00:00:00Z&by=day,grade", "", false, 401, 200,
         200, 200},
        {"GET", "/api/v1/reports/sales?by=day", "", false, 401, 400, 400, 400},
        {"GET", "/api/v1/reports/sales?from=2024-05-02T00:00:00Z&to=2024-05-01T00:00:00Z", "",
         false, 401, 400, 400, 400},
        {"GET", "/api/v1/reports/sales?from=2024-05-01T00:00:00Z&by=day,day", "", false, 401, 400,
         400, 400},
        {"GET", "/api/v1/reports/sales?from=2024-05-01T00:00:00Z&by=week", "", false, 401, 400, 400,
         400},
        {"GET", "/api/v1/alarms?state=all", "", false, 401, 200, 200, 200},
        {"POST", acknowledge.c_str(), "{}", true, 401, 403, 200, 200},
        {"POST", acknowledge.c_str(), "{}", false, 401, 403, 400, 400},
        {"POST", "/api/v1/alarms/999999/acknowledge", "{}", true, 401, 403, 404, 404},
        {"GET", "/api/v1/openapi.json", "", false, 200, 200, 200, 200},
        {"GET", "/healthz", "", false, 200, 200, 200, 200},
        {"GET", "/api/v1/nothing", "", false, 404, 404, 404, 404},
        {"GET", "/api/v1/reports/sales?from=2024-05-01T00:00:00Z&grade=95", "", false, 401, 200,
         200, 200},
        // The console: its own files and those it shares with the station's, nothing else.
        {"GET", "/", "", false, 200, 200, 200, 200},
        {"GET", "/assets/hq.js", "", false, 200, 200, 200, 200},
        {"GET", "/assets/api.js", "", false, 200, 200, 200, 200},
        {"GET", "/assets/console.js", "", false, 404, 404, 404, 404},
        {"GET", "/assets/..%2Fweb%2Fapi.js", "", false, 404, 404, 404, 404},
        {"POST", "/", "{}", false, 405, 405, 405, 405},
    };
    for (const Access& row : table) {
        const std::pair<std::string, int> whom[] = {{"", row.none},
                                                    {token_["hq-viewer"], row.viewer},
                                                    {token_["hq-pricing"], row.pricing},
                                                    {token_["hq-admin"], row.admin}};
        for (const auto& [token, expected] : whom) {
            const auto response =
                Ask(*api_, row.method, row.target, token, row.body, row.key ? "key-1" : "");
            EXPECT_EQ(response.status, expected)
                << row.method << " " << row.target << " as " << (token.empty() ? "nobody" : token)
                << ": " << response.body;
        }
    }
    tokens_->Revoke("client-hq-admin");
    EXPECT_EQ(Ask(*api_, "GET", "/api/v1/stations", token_["hq-admin"]).status, 401);
}

// The campaign routes: who may send each, and every answer in the form the document gives
// for it.
struct CampaignCall {
    const char* method;
    std::string target;
    const char* path;  // the document's path
    std::string body;
    int viewer, pricing, admin;
};

TEST_F(HqApiTest, CampaignRoutesAgainstEveryRoleAnswerAsDocumented) {
    Db().Exec(
        "INSERT INTO prices (station, grade, price, sequence, at) VALUES ('north-1', '95', 50.00, "
        "1, now())");
    const std::string campaign = R"({"grade": "95", "price": 50.10, "stations": ["north-1"]})";
    const std::string held = R"({"grade": "95", "price": 61.00, "groups": ["north"]})";
    const CampaignCall calls[] = {
        {"GET", "/api/v1/price-bounds", "/api/v1/price-bounds", "", 200, 200, 200},
        {"PUT", "/api/v1/price-bounds/95", "/api/v1/price-bounds/{grade}",
         R"({"highest": 60.00, "largestChange": null})", 403, 403, 200},
        {"PUT", "/api/v1/price-bounds/95", "/api/v1/price-bounds/{grade}",
         R"({"lowest": 70, "highest": 60})", 403, 403, 400},
        {"PUT", "/api/v1/price-bounds/*", "/api/v1/price-bounds/{grade}", R"({"lowest": 1})", 403,
         403, 400},
        {"POST", "/api/v1/price-campaigns/check", "/api/v1/price-campaigns/check", held, 403, 200,
         200},
        {"POST", "/api/v1/price-campaigns/check", "/api/v1/price-campaigns/check",
         R"({"grade": "95", "price": 50.001, "stations": ["north-1"]})", 403, 400, 400},
        {"POST", "/api/v1/price-campaigns/check", "/api/v1/price-campaigns/check",
         R"({"grade": "95", "price": 50, "stations": ["north-1"], "extra": 1})", 403, 400, 400},
        {"POST", "/api/v1/price-campaigns", "/api/v1/price-campaigns", campaign, 403, 201, 201},
        {"POST", "/api/v1/price-campaigns", "/api/v1/price-campaigns", held, 403, 201, 201},
        {"GET", "/api/v1/price-campaigns?limit=1", "/api/v1/price-campaigns", "", 200, 200, 200},
        {"GET", "/api/v1/price-campaigns/1", "/api/v1/price-campaigns/{id}", "", 200, 200, 200},
        {"GET", "/api/v1/price-campaigns/99", "/api/v1/price-campaigns/{id}", "", 404, 404, 404},
        {"POST", "/api/v1/price-campaigns/1/approve", "/api/v1/price-campaigns/{id}/approve", "{}",
         403, 403, 409},
        // The pricing client's held campaign, approved by the administrator.
        {"POST", "/api/v1/price-campaigns/3/approve", "/api/v1/price-campaigns/{id}/approve", "{}",
         403, 403, 200},
        // The administrator's own.
        {"POST", "/api/v1/price-campaigns/4/approve", "/api/v1/price-campaigns/{id}/approve", "{}",
         403, 403, 403},
        {"POST", "/api/v1/price-campaigns/1/cancel", "/api/v1/price-campaigns/{id}/cancel", "{}",
         403, 200, 409},
    };
    const json& document = OpenApiDocument();
    int keys = 0;
    for (const CampaignCall& call : calls) {
        for (const auto& [role, expected] : {std::pair{"hq-viewer", call.viewer},
                                             {"hq-pricing", call.pricing},
                                             {"hq-admin", call.admin}}) {
            const auto response = Ask(*api_, call.method, call.target, token_[role], call.body,
                                      "key-" + std::to_string(++keys));
            EXPECT_EQ(response.status, expected)
                << call.method << " " << call.target << " as " << role << ": " << response.body;
            std::string method = call.method;
            std::transform(method.begin(), method.end(), method.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const json& described = document["paths"][call.path][method]["responses"];
            const std::string status = std::to_string(response.status);
            ASSERT_TRUE(described.contains(status)) << call.target << " " << status;
            const auto problem = http::Validate(
                Body(response), described[status]["content"]["application/json"]["schema"],
                document, SchemaFormats(), "answer");
            EXPECT_FALSE(problem) << call.target << " as " << role << ": " << *problem << "\n"
                                  << response.body;
        }
    }
    // Held for the highest alone: the administrator's bounds replace the configuration's.
    const json heldOne = Body(Ask(*api_, "GET", "/api/v1/price-campaigns/3", token_["hq-viewer"]));
    EXPECT_EQ(heldOne["approvedBy"], "client-hq-admin");
    EXPECT_EQ(heldOne["held"].size(), 1u) << heldOne.dump();
}

// What the document shows a client to send is what the route takes.
TEST(HqOpenApiTest, EveryRequestExampleIsValid) {
    for (const http::Route& route : Routes()) {
        if (route.requestSchema.is_null() || route.requestExample.is_null())
            continue;
        const auto problem = http::Validate(route.requestExample, route.requestSchema,
                                            OpenApiDocument(), SchemaFormats(), "example");
        EXPECT_FALSE(problem) << route.operationId << ": " << *problem;
    }
}

TEST_F(HqApiTest, StationsShowTheirHealth) {
    AddAlarm("north-1", "station-silent");
    const json stations = Body(Ask(*api_, "GET", "/api/v1/stations", token_["hq-viewer"]));
    ASSERT_EQ(stations["stations"].size(), 2u);
    const json& north = stations["stations"][0];
    EXPECT_EQ(north["id"], "north-1");
    EXPECT_EQ(north["groups"], json::array({"north"}));
    EXPECT_EQ(north["status"], "online");
    EXPECT_EQ(north["lag"], 2);
    EXPECT_EQ(north["openAlarms"], 1);
    EXPECT_EQ(north["silent"], true);
    EXPECT_EQ(stations["stations"][1]["lag"], 0);
    EXPECT_EQ(stations["stations"][1]["silent"], false);
    const json south = Body(Ask(*api_, "GET", "/api/v1/stations?group=south", token_["hq-viewer"]));
    ASSERT_EQ(south["stations"].size(), 1u);
    EXPECT_EQ(south["stations"][0]["id"], "south-2");
}

TEST_F(HqApiTest, StationDetailHoldsOnlyTheWaitingSales) {
    AddSale("north-1", 1, "95", 10000, 50000, "2024-05-01T10:00:00Z", "CLEARED");
    AddSale("north-1", 2, "95", 20000, 90000, "2024-05-01T11:00:00Z", "PAYABLE");
    AddSale("north-1", 3, "DT", 30000, 99000, "2024-05-01T12:00:00Z", "LOCKED");
    AddSale("south-2", 4, "95", 30000, 99000, "2024-05-01T12:00:00Z", "PAYABLE");
    Db().Exec(
        "INSERT INTO fuel_points (station, id, state, data, sequence, at) VALUES "
        "('north-1', 1, 'IDLE', '{\"id\": 1, \"state\": \"IDLE\", \"nozzles\": []}', 5, now())");
    const json detail = Body(Ask(*api_, "GET", "/api/v1/stations/north-1", token_["hq-viewer"]));
    ASSERT_EQ(detail["waitingSales"].size(), 2u) << detail.dump();
    EXPECT_EQ(detail["waitingSales"][0]["id"], 2);
    EXPECT_EQ(detail["waitingSales"][1]["state"], "LOCKED");
    EXPECT_EQ(detail["waitingSales"][0]["volume"], 20.0);
    EXPECT_EQ(detail["waitingSales"][0]["amount"], 900.0);
    ASSERT_EQ(detail["fuelPoints"].size(), 1u);
    EXPECT_EQ(detail["fuelPoints"][0]["state"], "IDLE");
    EXPECT_EQ(detail["fuelPoints"][0]["sequence"], 5);
    // The grades it sells, from its info; none before its info came.
    EXPECT_EQ(detail["grades"], json::array());
    const json grades = json::array({{{"code", "95"}, {"name", "Super 95"}, {"price", 45.67}}});
    Db().Exec("UPDATE stations SET info = $1::jsonb WHERE id = 'north-1'",
              {json{{"grades", grades}}.dump()});
    EXPECT_EQ(Body(Ask(*api_, "GET", "/api/v1/stations/north-1", token_["hq-viewer"]))["grades"],
              grades);
}

TEST_F(HqApiTest, SalesPagesWalkEverySaleOnceNewestFirst) {
    // Pairs of stations with the same end, so that the pages break inside a tie.
    std::vector<std::tuple<std::string, std::string, std::int64_t>> expected;
    for (int i = 0; i < 13; ++i) {
        char ended[32];
        std::snprintf(ended, sizeof ended, "2024-05-01T10:%02d:00.000Z", i);
        AddSale("north-1", 100 + i, "95", 1000, 100, ended);
        AddSale("south-2", 200 + i, i % 2 ? "95" : "DT", 1000, 100, ended);
        expected.emplace_back(ended, "south-2", 200 + i);
        expected.emplace_back(ended, "north-1", 100 + i);
    }
    std::sort(expected.rbegin(), expected.rend());
    std::vector<std::tuple<std::string, std::string, std::int64_t>> seen;
    std::string target = "/api/v1/sales?limit=5&from=2024-05-01T00:00:00Z";
    for (int pages = 0; pages < 20 && !target.empty(); ++pages) {
        const auto response = Ask(*api_, "GET", target, token_["hq-viewer"]);
        ASSERT_EQ(response.status, 200) << response.body;
        const json page = Body(response);
        EXPECT_LE(page["sales"].size(), 5u);
        for (const json& sale : page["sales"])
            seen.emplace_back(sale["endedAt"], sale["station"], sale["id"]);
        target = page["next"].is_null() ? "" : page["next"].get<std::string>();
    }
    EXPECT_EQ(seen, expected);

    const json filtered =
        Body(Ask(*api_, "GET", "/api/v1/sales?station=south-2&grade=DT&to=2024-05-01T10:05:00Z",
                 token_["hq-viewer"]));
    // DT at minutes 0, 2, 4 of south-2: before 10:05.
    ASSERT_EQ(filtered["sales"].size(), 3u) << filtered.dump();
    EXPECT_EQ(filtered["sales"][0]["id"], 204);
    EXPECT_TRUE(filtered["next"].is_null());
}

TEST_F(HqApiTest, ReportEqualsTheSumsOfItsSales) {
    struct Sale {
        const char* station;
        const char* grade;
        std::int64_t millilitres;
        std::int64_t cents;
        const char* ended;
    };
    const Sale sales[] = {
        {"north-1", "95", 10500, 47954, "2024-05-01T08:00:00Z"},
        {"north-1", "95", 20250, 92482, "2024-05-01T23:59:59.999Z"},
        {"north-1", "DT", 40000, 204800, "2024-05-02T00:00:00Z"},
        {"south-2", "95", 5125, 23405, "2024-05-01T12:00:00Z"},
        {"south-2", "DT", 33333, 170665, "2024-05-02T13:00:00Z"},
        {"south-2", "DT", 1, 5, "2024-05-02T13:00:01Z"},
        {"south-2", "DT", 99999, 99999, "2024-05-03T00:00:00Z"},      // at `to`: not counted
        {"north-1", "95", 77777, 77777, "2024-04-30T23:59:59.999Z"},  // before `from`
    };
    std::int64_t id = 0;
    using Key = std::tuple<std::string, std::string, std::string>;  // day, station, grade
    std::map<Key, std::tuple<std::int64_t, std::int64_t, std::int64_t>> sums;
    std::map<std::string, std::tuple<std::int64_t, std::int64_t, std::int64_t>> byGrade;
    for (const Sale& sale : sales) {
        AddSale(sale.station, ++id, sale.grade, sale.millilitres, sale.cents, sale.ended);
        const std::string ended = sale.ended;
        if (ended < "2024-05-01" || ended >= "2024-05-03")
            continue;
        for (auto* totals :
             {&sums[{ended.substr(0, 10), sale.station, sale.grade}], &byGrade[sale.grade]}) {
            std::get<0>(*totals) += sale.millilitres;
            std::get<1>(*totals) += sale.cents;
            std::get<2>(*totals) += 1;
        }
    }
    const std::string period = "from=2024-05-01T00:00:00Z&to=2024-05-03T00:00:00Z";
    const json report =
        Body(Ask(*api_, "GET", "/api/v1/reports/sales?" + period + "&by=day,station,grade",
                 token_["hq-viewer"]));
    ASSERT_EQ(report["rows"].size(), sums.size()) << report.dump();
    auto expected = sums.begin();
    for (const json& row : report["rows"]) {
        const auto& [key, totals] = *expected++;
        EXPECT_EQ(row["day"], std::get<0>(key));
        EXPECT_EQ(row["station"], std::get<1>(key));
        EXPECT_EQ(row["grade"], std::get<2>(key));
        EXPECT_EQ(std::llround(row["volume"].get<double>() * 1000), std::get<0>(totals));
        EXPECT_EQ(std::llround(row["amount"].get<double>() * 100), std::get<1>(totals));
        EXPECT_EQ(row["count"], std::get<2>(totals));
    }
    // Another grouping, in another order of the words, of the same period.
    const json grades = Body(
        Ask(*api_, "GET", "/api/v1/reports/sales?" + period + "&by=grade", token_["hq-viewer"]));
    ASSERT_EQ(grades["rows"].size(), byGrade.size());
    for (const json& row : grades["rows"]) {
        const auto& totals = byGrade.at(row["grade"]);
        EXPECT_FALSE(row.contains("day"));
        EXPECT_EQ(std::llround(row["amount"].get<double>() * 100), std::get<1>(totals));
        EXPECT_EQ(row["count"], std::get<2>(totals));
    }
    // One grade's days, as the console's chart asks: the other grades' sales are not in them.
    const json dt = Body(Ask(*api_, "GET", "/api/v1/reports/sales?" + period + "&by=day&grade=DT",
                             token_["hq-viewer"]));
    ASSERT_EQ(dt["rows"].size(), 1u) << dt.dump();
    EXPECT_EQ(dt["rows"][0]["day"], "2024-05-02");
    EXPECT_EQ(dt["rows"][0]["count"], 3);
    // No grouping over a period without sales: one row of zeros.
    const json empty = Body(
        Ask(*api_, "GET", "/api/v1/reports/sales?from=2030-01-01T00:00:00Z&to=2031-01-01T00:00:00Z",
            token_["hq-viewer"]));
    ASSERT_EQ(empty["rows"].size(), 1u);
    EXPECT_EQ(empty["rows"][0]["count"], 0);
}

TEST_F(HqApiTest, AnAlarmIsAcknowledgedOnceByWhoeverCameFirst) {
    const std::int64_t alarm = AddAlarm("north-1", "station-offline");
    const std::string target = "/api/v1/alarms/" + std::to_string(alarm) + "/acknowledge";
    const auto first = Ask(*api_, "POST", target, token_["hq-pricing"], "{}", "a");
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(Body(first)["acknowledgedBy"], "client-hq-pricing");
    const auto second = Ask(*api_, "POST", target, token_["hq-admin"], "{}", "b");
    ASSERT_EQ(second.status, 200);
    EXPECT_EQ(Body(second)["acknowledgedBy"], "client-hq-pricing");
    EXPECT_EQ(Body(second)["acknowledgedAt"], Body(first)["acknowledgedAt"]);
    // One change for the stream, not two.
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM changes WHERE kind = 'alarm'").Integer(0, 0), 1);
    EXPECT_EQ(Body(Ask(*api_, "GET", "/api/v1/alarms", token_["hq-viewer"]))["alarms"].size(), 0u);
    EXPECT_EQ(
        Body(Ask(*api_, "GET", "/api/v1/alarms?state=all", token_["hq-viewer"]))["alarms"].size(),
        1u);
}

TEST_F(HqApiTest, AlarmPagesWalkEveryAlarmOnce) {
    std::set<std::int64_t> raised;
    for (int i = 0; i < 7; ++i)
        raised.insert(AddAlarm(i % 2 ? "north-1" : "south-2", "k" + std::to_string(i)));
    std::set<std::int64_t> seen;
    std::string target = "/api/v1/alarms?limit=3";
    int pages = 0;
    for (; pages < 10 && !target.empty(); ++pages) {
        const json page = Body(Ask(*api_, "GET", target, token_["hq-viewer"]));
        for (const json& alarm : page["alarms"])
            EXPECT_TRUE(seen.insert(alarm["id"].get<std::int64_t>()).second);
        target = page["next"].is_null() ? "" : page["next"].get<std::string>();
    }
    EXPECT_EQ(seen, raised);
    EXPECT_EQ(pages, 3);
}

TEST_F(HqApiTest, TheChangeStreamResumesAfterLastEventId) {
    ChangeStream stream(*pool_, {.batch = 2, .poll = std::chrono::milliseconds(50)});
    stream.Start();
    http::ServerCounters counters;
    http::ListenerSettings settings;
    settings.port = 0;
    http::Listener listener(
        settings,
        [this](const http::Request& r, http::Respond respond) {
            api_->Handle(r, std::move(respond));
        },
        stream, counters);
    listener.Start();
    const auto add = [&](const std::string& station) {
        Transaction transaction(Db());
        AppendChanges(Db(),
                      {{std::string(change_kind::kStation), station, {{"status", "online"}}}});
        transaction.Commit();
    };
    for (const char* station : {"a", "b", "c", "d", "e"})
        add(station);
    const fuel::test::Headers auth = {{"Authorization", "Bearer " + token_["hq-viewer"]}};
    {
        auto headers = auth;
        headers.emplace_back("Last-Event-ID", "2");
        fuel::test::EventStreamClient client(listener.Port(), "/api/v1/changes", headers);
        ASSERT_EQ(client.Status(), 200) << client.Body();
        for (std::int64_t expected = 3; expected <= 5; ++expected) {
            const auto event = client.Next(std::chrono::seconds(5));
            ASSERT_TRUE(event.has_value()) << "change " << expected;
            EXPECT_EQ(event->id, expected);
            EXPECT_EQ(event->type, "station");
            EXPECT_EQ(json::parse(event->data)["id"], expected);
        }
        // Live: a change made after the client caught up.
        EXPECT_FALSE(client.Next(std::chrono::milliseconds(200)).has_value());
        add("f");
        const auto live = client.Next(std::chrono::seconds(5));
        ASSERT_TRUE(live.has_value());
        EXPECT_EQ(live->id, 6);
        EXPECT_EQ(json::parse(live->data)["station"], "f");
    }
    // Without a place: only what comes next.
    {
        fuel::test::EventStreamClient client(listener.Port(), "/api/v1/changes", auth);
        ASSERT_EQ(client.Status(), 200);
        EXPECT_FALSE(client.Next(std::chrono::milliseconds(200)).has_value());
        add("g");
        const auto next = client.Next(std::chrono::seconds(5));
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->id, 7);
    }
    // A place this database never reached.
    fuel::test::EventStreamClient ahead(listener.Port(), "/api/v1/changes?since=99", auth);
    EXPECT_EQ(ahead.Status(), 400);
    listener.Stop();
    stream.Stop();
}

// Every file of hq/web/ the page needs, typed and under the console's policy, and every
// module a file of it names (its own or one of the station console's shared ones) is there.
TEST_F(HqApiTest, TheConsoleIsServedWithEveryModuleItNames) {
    namespace fs = std::filesystem;
    const fs::path web = fs::path(FUEL_SOURCE_DIR) / "hq/web";
    const std::regex page(R"re(/assets/([\w.-]+))re");
    const std::regex module(R"re(from '\./([\w.-]+)')re");
    std::set<std::string> named;
    for (const fs::path& dir : {web, fs::path(FUEL_SOURCE_DIR) / "web"}) {
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            // The station's own page of that name is not the head office's.
            if (dir != web && fs::exists(web / name))
                continue;
            const http::Response served = Ask(*api_, "GET", "/assets/" + name, "", "", "");
            if (dir == web && name != "package.json") {
                EXPECT_EQ(served.status, 200) << name;
            }
            if (served.status != 200)
                continue;
            EXPECT_EQ(served.body, fuel::test::ReadBytes(entry.path())) << name;
            EXPECT_EQ(served.contentType, http::ContentTypeOf(name));
            const std::string text = served.body;
            const std::regex& pattern = entry.path().extension() == ".html" ? page : module;
            for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
                named.insert((*it)[1]);
        }
    }
    EXPECT_GE(named.size(), 15u);
    for (const std::string& name : named) {
        const http::Response served = Ask(*api_, "GET", "/assets/" + name, "", "", "");
        EXPECT_EQ(served.status, 200) << name;
        const auto policy =
            std::find_if(served.headers.begin(), served.headers.end(),
                         [](const auto& h) { return h.first == "Content-Security-Policy"; });
        ASSERT_NE(policy, served.headers.end()) << name;
        EXPECT_EQ(policy->second, http::kConsolePolicy);
    }
}

}  // namespace
}  // namespace fuel::hq::test
