// The API as one function from request to answer, in this process, against the example
// station with no customers (so that nothing moves unless a request moves it): routing,
// tokens and roles, parameters, Idempotency-Key, bodies; every refusal with its status and
// code, and nothing changed by it.
#include "server/Api.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "forecourt/Store.h"
#include "tests/server/ServerTestSupport.h"

namespace fuel::test {
namespace {

using http::Response;

class ApiTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { station_ = new Station(false); }
    static void TearDownTestSuite() {
        delete station_;
        station_ = nullptr;
    }

    ApiTest()
        : api_(server::Context{station_->Forecourt(), station_->Tokens(), counters_, nullptr}) {}

    Response Send(const std::string& method, const std::string& target,
                  const std::string& client = "", const std::string& body = "",
                  const std::string& key = "") {
        return Ask(api_, MakeRequest(method, target, client.empty() ? "" : station_->Bearer(client),
                                     body, key));
    }

    static std::string Code(const Response& response) {
        const auto body = nlohmann::json::parse(response.body, nullptr, false);
        return body.is_object() && body.contains("error") ? body["error"].value("code", "") : "";
    }
    static std::string Message(const Response& response) {
        const auto body = nlohmann::json::parse(response.body, nullptr, false);
        return body.is_object() && body.contains("error") ? body["error"].value("message", "") : "";
    }

    static Station* station_;
    http::ServerCounters counters_;
    server::Api api_;
};

Station* ApiTest::station_ = nullptr;

struct Refusal {
    const char* what;
    const char* method;
    const char* target;
    const char* client;  // whose token; "" for none
    const char* body;
    const char* key;
    int status;
    const char* code;
    const char* message;  // the message's start; "" to leave it
};

const std::string kLongKey(256, 'k');

// Every request here is refused, and none may change the forecourt, its sales or journal.
const Refusal kRefusals[] = {
    {"unknown path", "GET", "/api/v1/pumps", "viewer1", "", "", 404, "not-found", ""},
    {"a trailing slash is another path", "GET", "/api/v1/forecourt/", "viewer1", "", "", 404,
     "not-found", ""},
    {"an empty segment is another path", "GET", "/api/v1//forecourt", "viewer1", "", "", 404,
     "not-found", ""},
    {"not a path at all", "GET", "*", "viewer1", "", "", 400, "bad-request", ""},
    {"a broken escape", "PUT", "/api/v1/grades/%zz/price", "backoffice1", R"({"price":1})", "k1",
     400, "bad-request", ""},
    {"an escape to a NUL", "PUT", "/api/v1/grades/9%005/price", "backoffice1", R"({"price":1})",
     "k1", 400, "bad-request", ""},
    {"no token", "GET", "/api/v1/forecourt", "", "", "", 401, "no-token", ""},
    {"viewer authorising", "POST", "/api/v1/fuel-points/1/authorise", "viewer1",
     R"({"preset":{"kind":"money","value":10}})", "k2", 403, "forbidden",
     "a client with the role viewer may not authorise"},
    {"fuel point not a number", "GET", "/api/v1/fuel-points/abc", "viewer1", "", "", 400,
     "bad-request", "path parameter fp: must be an integer"},
    {"fuel point past the integers", "GET", "/api/v1/fuel-points/99999999999999999999", "viewer1",
     "", "", 400, "bad-request", "path parameter fp"},
    {"fuel point 0", "GET", "/api/v1/fuel-points/0", "viewer1", "", "", 400, "bad-request",
     "path parameter fp: must be at least 1"},
    {"unknown fuel point", "GET", "/api/v1/fuel-points/99", "viewer1", "", "", 404,
     "no-such-fuel-point", ""},
    {"unknown fuel point to authorise", "POST", "/api/v1/fuel-points/99/authorise", "pos1",
     R"({"preset":{"kind":"money","value":10}})", "k3", 404, "no-such-fuel-point", ""},
    {"unknown sale", "GET", "/api/v1/sales/424242", "viewer1", "", "", 404, "no-such-sale", ""},
    {"unknown sale to lock", "POST", "/api/v1/sales/424242/lock", "pos1", "", "k4", 404,
     "no-such-sale", ""},
    {"unknown grade", "PUT", "/api/v1/grades/97/price", "backoffice1", R"({"price":40})", "k5", 404,
     "no-such-grade", ""},
    {"state in lower case", "GET", "/api/v1/sales?state=payable", "viewer1", "", "", 400,
     "bad-request", "query parameter state: must be one of"},
    {"limit 0", "GET", "/api/v1/sales?limit=0", "viewer1", "", "", 400, "bad-request",
     "query parameter limit: must be at least 1"},
    {"limit past 1000", "GET", "/api/v1/sales?limit=1001", "viewer1", "", "", 400, "bad-request",
     "query parameter limit: must be at most 1000"},
    {"a cursor this server never gave", "GET", "/api/v1/sales?cursor=1714557600000", "viewer1", "",
     "", 400, "bad-request", "query parameter cursor: not one this server gave"},
    {"discrepancies of a nozzle past six", "GET",
     "/api/v1/reconciliation/discrepancies?fuelPoint=1&nozzle=7&from=2024-01-01T00:00:00Z",
     "viewer1", "", "", 400, "bad-request", "query parameter nozzle: must be at most 6"},
    {"discrepancies of a nozzle the fuel point lacks", "GET",
     "/api/v1/reconciliation/discrepancies?fuelPoint=1&nozzle=5&from=2024-01-01T00:00:00Z",
     "viewer1", "", "", 404, "no-such-nozzle", "fuel point 1 has no nozzle 5"},
    {"discrepancies from a cursor of another kind", "GET",
     "/api/v1/reconciliation/discrepancies?fuelPoint=1&nozzle=1&from=2024-01-01T00:00:00Z"
     "&cursor=x12",
     "viewer1", "", "", 400, "bad-request", "the cursor names no figure"},
    {"an unknown query parameter", "GET", "/api/v1/sales?colour=red", "viewer1", "", "", 400,
     "bad-request", "query parameter colour is not one"},
    {"reconciliation without from", "GET", "/api/v1/reconciliation", "viewer1", "", "", 400,
     "bad-request", "query parameter from is missing"},
    {"reconciliation from not a time", "GET", "/api/v1/reconciliation?from=monday", "viewer1", "",
     "", 400, "bad-request", "query parameter from: must be a time"},
    {"reconciliation ending before it starts", "GET",
     "/api/v1/reconciliation?from=2024-01-02T00:00:00Z&to=2024-01-01T00:00:00Z", "viewer1", "", "",
     400, "bad-request", "query parameter to: must not be before from"},
    {"no Idempotency-Key", "POST", "/api/v1/fuel-points/1/stop", "pos1", "", "", 400,
     "no-idempotency-key", ""},
    {"an Idempotency-Key of 256 characters", "POST", "/api/v1/fuel-points/1/stop", "pos1", "",
     kLongKey.c_str(), 400, "no-idempotency-key", "the Idempotency-Key must be"},
    {"an Idempotency-Key with a space", "POST", "/api/v1/fuel-points/1/stop", "pos1", "", "a b",
     400, "no-idempotency-key", ""},
    {"malformed JSON", "POST", "/api/v1/fuel-points/1/authorise", "pos1", R"({"preset":)", "k6",
     400, "bad-request", "the body is not JSON"},
    {"a wrong type", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"money","value":"10"}})", "k7", 400, "bad-request",
     "preset.value: must be a number"},
    {"a negative preset", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"money","value":-5}})", "k8", 400, "bad-request",
     "preset.value: must be greater than 0"},
    {"a zero preset", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"volume","value":0}})", "k9", 400, "bad-request",
     "preset.value: must be greater than 0"},
    {"an unknown preset kind", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"litres","value":5}})", "k10", 400, "bad-request", "preset.kind"},
    {"a volume preset without its value", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"volume"}})", "k11", 400, "bad-request", "preset.value is missing"},
    {"a value with kind none", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"none","value":3}})", "k12", 400, "bad-request", "preset.value"},
    {"an unknown field", "POST", "/api/v1/fuel-points/1/authorise", "pos1", R"({"colour":"red"})",
     "k13", 400, "bad-request", "colour: is not a field"},
    {"a list for a body", "POST", "/api/v1/fuel-points/1/authorise", "pos1", "[]", "k14", 400,
     "bad-request", "body: must be an object"},
    {"a preset past what the controller carries", "POST", "/api/v1/fuel-points/1/authorise", "pos1",
     R"({"preset":{"kind":"money","value":1e12}})", "k15", 400, "bad-request", ""},
    {"a price that is missing", "PUT", "/api/v1/grades/95/price", "backoffice1", "{}", "k16", 400,
     "bad-request", "price: is missing"},
    {"a price of 0", "PUT", "/api/v1/grades/95/price", "backoffice1", R"({"price":0})", "k17", 400,
     "bad-request", "price: must be greater than 0"},
    {"a body on stop", "POST", "/api/v1/fuel-points/1/stop", "pos1", R"({"now":true})", "k18", 400,
     "bad-request", "now: is not a field"},
    {"a WebSocket route without the handshake", "GET", "/api/v1/ws", "viewer1", "", "", 426,
     "upgrade-required", ""},
    {"an event stream past the journal", "GET", "/api/v1/events?since=99999999", "viewer1", "", "",
     400, "unknown-sequence", ""},
    {"since not a number", "GET", "/api/v1/events?since=abc", "viewer1", "", "", 400, "bad-request",
     "query parameter since"},
    {"since negative", "GET", "/api/v1/events?since=-1", "viewer1", "", "", 400, "bad-request",
     "query parameter since: must be at least 0"},
};

TEST_F(ApiTest, RefusesBadRequestsAndChangesNothing) {
    const std::string before = station_->Fingerprint();
    for (const Refusal& r : kRefusals) {
        SCOPED_TRACE(r.what);
        const Response response = Send(r.method, r.target, r.client, r.body, r.key);
        EXPECT_EQ(response.status, r.status) << response.body;
        EXPECT_EQ(Code(response), r.code) << response.body;
        EXPECT_EQ(Message(response).rfind(r.message, 0), 0u) << response.body;
        EXPECT_EQ(station_->Fingerprint(), before);
    }
}

TEST_F(ApiTest, AnswersAMethodTheRouteLacksWith405AndAllow) {
    const Response response = Send("DELETE", "/api/v1/forecourt", "viewer1");
    EXPECT_EQ(response.status, 405);
    ASSERT_EQ(response.headers.size(), 1u);
    EXPECT_EQ(response.headers[0], std::make_pair(std::string("Allow"), std::string("GET")));
}

TEST_F(ApiTest, TellsAMissingTokenFromABadOneInWwwAuthenticate) {
    const std::string before = station_->Fingerprint();
    for (const auto& [authorization, code] :
         std::vector<std::pair<std::string, std::string>>{{"", "no-token"},
                                                          {"Basic cG9zOnBvcw==", "no-token"},
                                                          {"Bearer", "no-token"},
                                                          {"Bearer not-a-token", "bad-token"}}) {
        SCOPED_TRACE(authorization);
        const Response response = Ask(
            api_, MakeRequest("POST", "/api/v1/fuel-points/1/authorise", authorization, "{}", "k"));
        EXPECT_EQ(response.status, 401);
        EXPECT_EQ(Code(response), code);
        ASSERT_FALSE(response.headers.empty());
        EXPECT_EQ(response.headers[0].first, "WWW-Authenticate");
        EXPECT_EQ(response.headers[0].second.rfind("Bearer realm=", 0), 0u);
    }
    EXPECT_EQ(station_->Fingerprint(), before);
}

TEST_F(ApiTest, RefusesARevokedToken) {
    const std::string token = station_->Tokens().Add("short-lived", server::Role::Pos);
    const auto ask = [&] {
        return Ask(api_, MakeRequest("GET", "/api/v1/forecourt", "Bearer " + token));
    };
    EXPECT_EQ(ask().status, 200);
    station_->Tokens().Revoke("short-lived");
    const Response response = ask();
    EXPECT_EQ(response.status, 401);
    EXPECT_EQ(Code(response), "bad-token");
}

// Who may send what, as the roles are described to their users. A request that passes the
// role check here is refused right after it for want of an Idempotency-Key (400), so that
// none of them acts.
TEST_F(ApiTest, LetsEachRoleDoWhatItMayAndNoMore) {
    struct Case {
        const char* client;
        const char* method;
        const char* target;
        bool allowed;
    };
    const Case cases[] = {
        {"viewer1", "POST", "/api/v1/fuel-points/1/authorise", false},
        {"viewer1", "POST", "/api/v1/sales/1/clear", false},
        {"viewer1", "POST", "/api/v1/forecourt/emergency-stop", false},
        {"pos1", "POST", "/api/v1/fuel-points/1/authorise", true},
        {"pos1", "POST", "/api/v1/fuel-points/1/stop", true},
        {"pos1", "POST", "/api/v1/sales/1/lock", true},
        {"pos1", "POST", "/api/v1/sales/1/clear", true},
        {"pos1", "POST", "/api/v1/forecourt/emergency-stop", true},
        {"pos1", "PUT", "/api/v1/grades/95/price", false},
        {"pos1", "POST", "/api/v1/fuel-points/1/close", false},
        {"backoffice1", "PUT", "/api/v1/grades/95/price", true},
        {"backoffice1", "POST", "/api/v1/fuel-points/1/close", true},
        {"backoffice1", "POST", "/api/v1/fuel-points/1/open", true},
        {"backoffice1", "POST", "/api/v1/sales/1/clear", true},
        {"technician1", "POST", "/api/v1/fuel-points/1/close", true},
        {"technician1", "POST", "/api/v1/forecourt/emergency-stop", true},
        {"technician1", "POST", "/api/v1/sales/1/clear", false},
        {"technician1", "PUT", "/api/v1/grades/95/price", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.client) + " " + c.method + " " + c.target);
        const Response response = Send(c.method, c.target, c.client, "{}");
        EXPECT_EQ(response.status, c.allowed ? 400 : 403) << response.body;
        EXPECT_EQ(Code(response), c.allowed ? "no-idempotency-key" : "forbidden");
    }
    // Reading is every role's.
    for (const server::Role role : server::kRoles) {
        EXPECT_EQ(Send("GET", "/api/v1/sales", std::string(server::Name(role)) + "1").status, 200);
    }
}

TEST_F(ApiTest, AnswersThePublicRoutesWithoutAToken) {
    EXPECT_EQ(Send("GET", "/api/v1/openapi.json").status, 200);
    const Response health = Send("GET", "/healthz");
    EXPECT_EQ(health.status, 200) << health.body;
    EXPECT_EQ(Send("GET", "/metrics").status, 401);
}

TEST_F(ApiTest, TakesParametersTyped) {
    const Response point = Send("GET", "/api/v1/fuel-points/3", "viewer1");
    ASSERT_EQ(point.status, 200);
    EXPECT_EQ(nlohmann::json::parse(point.body)["id"], 3);
    const Response sales =
        Send("GET", "/api/v1/sales?state=PAYABLE&fuelPoint=1&from=2024-01-01T00:00:00Z&limit=5",
             "viewer1");
    ASSERT_EQ(sales.status, 200) << sales.body;
    EXPECT_TRUE(nlohmann::json::parse(sales.body)["sales"].is_array());
    // An Idempotency-Key on a request that changes nothing is no mistake.
    EXPECT_EQ(Send("GET", "/api/v1/forecourt", "viewer1", "", "k").status, 200);
}

// The links the answers give are requests the server takes: a list read by its next links
// gives each sale once and ends; a nozzle that does not add up links to its stretches.
TEST_F(ApiTest, FollowsItsOwnLinks) {
    const forecourt::Time at = *forecourt::ParseTime("2024-03-01T08:00:00Z");
    {
        forecourt::Connection db(station_->Forecourt().GetJournal().Path(),
                                 forecourt::Connection::Mode::ReadWrite);
        double total = 500;
        for (int i = 0; i < 7; ++i) {
            const auto started = at + std::chrono::minutes(10 * i);
            const auto id =
                forecourt::InsertAuthorised(db, 3, forecourt::Preset{}, {}, false, "pos1", started);
            forecourt::MarkStarted(db, id, 1, "95", 45.67, total, started);
            forecourt::MarkEnded(db, id, {2, 91.34, false, total + 2, std::nullopt},
                                 started + std::chrono::minutes(1));
            total += i == 3 ? 2.5 : 2;  // half a litre nobody sold after the fourth
        }
    }
    std::vector<std::int64_t> ids;
    std::string target = "/api/v1/sales?fuelPoint=3&to=2024-03-02T00:00:00Z&limit=3";
    for (int page = 0; page < 10 && !target.empty(); ++page) {
        const Response answer = Send("GET", target, "viewer1");
        ASSERT_EQ(answer.status, 200) << target << ": " << answer.body;
        const auto body = nlohmann::json::parse(answer.body);
        for (const auto& sale : body["sales"])
            ids.push_back(sale["id"].get<std::int64_t>());
        target = body["next"].is_string() ? body["next"].get<std::string>() : "";
    }
    EXPECT_TRUE(target.empty()) << "the last page has no next";
    ASSERT_EQ(ids.size(), 7u);
    EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend())) << "newest first";

    const Response summary =
        Send("GET",
             "/api/v1/reconciliation?fuelPoint=3&from=2024-03-01T00:00:00Z&to=2024-03-02T00:00:00Z",
             "viewer1");
    ASSERT_EQ(summary.status, 200) << summary.body;
    const auto nozzles = nlohmann::json::parse(summary.body)["nozzles"];
    EXPECT_EQ(nozzles[0]["sales"], 7);
    EXPECT_NEAR(nozzles[0]["difference"].get<double>(), 0.5, 1e-9);
    EXPECT_TRUE(nozzles[1]["discrepancies"].is_null());
    ASSERT_TRUE(nozzles[0]["discrepancies"].is_string()) << summary.body;
    const Response stretches =
        Send("GET", nozzles[0]["discrepancies"].get<std::string>() + "&limit=1", "viewer1");
    ASSERT_EQ(stretches.status, 200) << stretches.body;
    const auto page = nlohmann::json::parse(stretches.body);
    ASSERT_EQ(page["discrepancies"].size(), 1u);
    EXPECT_NEAR(page["discrepancies"][0]["difference"].get<double>(), 0.5, 1e-9);
    EXPECT_EQ(page["discrepancies"][0]["fillBefore"], ids[3]);
    ASSERT_TRUE(page["next"].is_string());
    const Response rest = Send("GET", page["next"].get<std::string>(), "viewer1");
    ASSERT_EQ(rest.status, 200) << rest.body;
    EXPECT_TRUE(nlohmann::json::parse(rest.body)["discrepancies"].empty());
    EXPECT_TRUE(nlohmann::json::parse(rest.body)["next"].is_null());
}

}  // namespace
}  // namespace fuel::test
