// The OpenAPI document against itself and against the server: every request it documents is
// sent (with its own examples, as the back office, whose role may send them all) to a server
// on the example station with customers, and every answer must be one it documents, in the
// form it documents.
#include "server/OpenApi.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "http/JsonSchema.h"
#include "server/Routes.h"
#include "server/Schemas.h"
#include "tests/server/ServerTestSupport.h"

namespace fuel::test {
namespace {

using http::Validate;
using nlohmann::json;
using namespace std::chrono_literals;

const json& Document() {
    return server::OpenApiDocument();
}

const http::Formats& Formats() {
    return server::SchemaFormats();
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void CollectRefs(const json& node, std::vector<std::string>& refs) {
    if (node.is_object()) {
        for (const auto& [key, value] : node.items()) {
            if (key == "$ref" && value.is_string())
                refs.push_back(value.get<std::string>());
            CollectRefs(value, refs);
        }
    } else if (node.is_array()) {
        for (const json& item : node)
            CollectRefs(item, refs);
    }
}

TEST(OpenApiDocumentTest, DocumentsEveryRouteOnceAndEveryReferenceResolves) {
    const json& paths = Document()["paths"];
    std::size_t operations = 0;
    std::set<std::string> ids;
    for (const auto& [path, methods] : paths.items()) {
        for (const auto& [method, operation] : methods.items()) {
            ++operations;
            EXPECT_TRUE(ids.insert(operation["operationId"].get<std::string>()).second)
                << operation["operationId"];
            EXPECT_TRUE(operation["responses"].is_object()) << path;
        }
    }
    EXPECT_EQ(operations, server::Routes().size());
    for (const http::Route& route : server::Routes()) {
        EXPECT_TRUE(paths.contains(route.path) && paths[route.path].contains(Lower(route.method)))
            << route.method << " " << route.path;
    }
    std::vector<std::string> refs;
    CollectRefs(Document(), refs);
    EXPECT_GT(refs.size(), 20u);
    for (const std::string& ref : refs) {
        EXPECT_TRUE(Document().contains(json::json_pointer(ref.substr(1)))) << ref;
    }
    EXPECT_EQ(Document()["openapi"], "3.1.0");
}

TEST(OpenApiDocumentTest, HoldsEveryExampleToItsOwnSchema) {
    for (const auto& [path, methods] : Document()["paths"].items()) {
        for (const auto& [method, operation] : methods.items()) {
            for (const json& parameter : operation.value("parameters", json::array())) {
                if (!parameter.contains("example"))
                    continue;
                EXPECT_FALSE(
                    Validate(parameter["example"], parameter["schema"], Document(), Formats()))
                    << path << " " << parameter["name"];
            }
            if (operation.contains("requestBody")) {
                const json& media = operation["requestBody"]["content"]["application/json"];
                if (!media.contains("example"))
                    continue;
                EXPECT_FALSE(Validate(media["example"], media["schema"], Document(), Formats()))
                    << path;
            }
        }
    }
}

// ---- Against the server.

class OpenApiServerTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        station_ = new Station(true);
        // A sale to read, lock, unlock and clear: the documents' examples name sale 1.
        server::Api api(
            server::Context{station_->Forecourt(), station_->Tokens(), counters_, nullptr});
        const http::Response authorised = Ask(
            api, MakeRequest("POST", "/api/v1/fuel-points/1/authorise", station_->Bearer("pos1"),
                             R"({"preset":{"kind":"money","value":10}})", "openapi-sale"));
        ASSERT_EQ(authorised.status, 200) << authorised.body;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!station_->Forecourt().FindSale(1) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(station_->Forecourt().FindSale(1).has_value());
    }
    static void TearDownTestSuite() {
        delete station_;
        station_ = nullptr;
    }

    static Station* station_;
    static http::ServerCounters counters_;
};

Station* OpenApiServerTest::station_ = nullptr;
http::ServerCounters OpenApiServerTest::counters_;

struct Sent {
    std::string target;
    Headers headers;
    std::string body;
};

Sent Build(const json& operation, const std::string& path, const std::string& bearer, int serial) {
    Sent sent{path, {}, ""};
    std::string query;
    for (const json& parameter : operation.value("parameters", json::array())) {
        const std::string name = parameter["name"];
        const std::string in = parameter["in"];
        if (in == "header" && name == "Idempotency-Key") {
            sent.headers.emplace_back(name, "openapi-" +
                                                operation["operationId"].get<std::string>() + "-" +
                                                std::to_string(serial));
            continue;
        }
        if (!parameter.contains("example"))
            continue;
        const json& example = parameter["example"];
        const std::string text = example.is_string() ? example.get<std::string>() : example.dump();
        if (in == "path") {
            sent.target.replace(sent.target.find("{" + name + "}"), name.size() + 2, text);
        } else if (in == "query") {
            query += (query.empty() ? "?" : "&") + name + "=" + text;
        }
    }
    sent.target += query;
    if (!bearer.empty() && !operation["security"].empty()) {
        sent.headers.emplace_back("Authorization", bearer);
    }
    if (operation.contains("requestBody")) {
        const json& media = operation["requestBody"]["content"]["application/json"];
        if (media.contains("example"))
            sent.body = media["example"].dump();
    }
    return sent;
}

// Where the document says an answer is JSON, it must be that JSON; the status must be one
// the document gives for the request.
void Hold(const json& operation, int status, const std::string& contentType,
          const std::string& body) {
    const std::string key = std::to_string(status);
    ASSERT_TRUE(operation["responses"].contains(key))
        << operation["operationId"] << " answered " << status << ": " << body;
    const json& answer = operation["responses"][key];
    if (!answer.contains("content"))
        return;
    const json& content = answer["content"];
    const std::string media = content.begin().key();
    const json& described = content.begin().value();
    EXPECT_EQ(contentType, media) << operation["operationId"];
    if (described.contains("schema")) {
        const json value = json::parse(body, nullptr, false);
        ASSERT_FALSE(value.is_discarded()) << operation["operationId"] << ": " << body;
        const auto problem = Validate(value, described["schema"], Document(), Formats(), "answer");
        EXPECT_FALSE(problem.has_value())
            << operation["operationId"] << " " << status << ": " << *problem << "\n"
            << body;
    }
}

TEST_F(OpenApiServerTest, SendsEveryDocumentedRequestAndHoldsEveryAnswerToTheDocument) {
    RunningServer server(*station_);
    const std::uint16_t port = server.Port();
    const std::string bearer = station_->Bearer("backoffice1");
    std::set<std::string> succeeded;
    std::map<std::string, std::string> failures;
    int serial = 0;
    // In the table's order, so that a sale is locked before it is unlocked and cleared.
    for (const http::Route& route : server::Routes()) {
        const json& operation = Document()["paths"][route.path][Lower(route.method)];
        const std::string id = operation["operationId"];
        SCOPED_TRACE(id);
        const Sent sent = Build(operation, route.path, bearer, ++serial);
        const json& responses = operation["responses"];
        if (responses.contains("101")) {
            WebSocketClient socket(port, sent.target, sent.headers);
            ASSERT_TRUE(socket.Open()) << socket.Status();
            const auto message = socket.Next(10000ms);
            ASSERT_TRUE(message.has_value());
            Hold(operation, 101, "application/json", *message);
            succeeded.insert(id);
        } else if (responses["200"].contains("content") &&
                   responses["200"]["content"].contains("text/event-stream")) {
            EventStreamClient stream(port, sent.target, sent.headers);
            ASSERT_EQ(stream.Status(), 200);
            const auto event = stream.Next(10000ms);
            ASSERT_TRUE(event.has_value());
            const auto problem =
                Validate(json::parse(event->data),
                         responses["200"]["content"]["text/event-stream"]["schema"], Document(),
                         Formats(), "event");
            EXPECT_FALSE(problem.has_value()) << *problem;
            succeeded.insert(id);
        } else {
            HttpClient client(port);
            const HttpAnswer answer =
                client.Send(route.method, sent.target, sent.headers, sent.body);
            ASSERT_NE(answer.status, 0) << answer.error;
            Hold(operation, answer.status, answer.Header("Content-Type"), answer.body);
            if (answer.status / 100 == 2) {
                succeeded.insert(id);
            } else {
                failures[id] = std::to_string(answer.status) + " " + answer.body;
            }
        }
        // Without a token, where one is needed: the documented 401.
        if (!operation["security"].empty()) {
            const Sent stranger = Build(operation, route.path, "", ++serial);
            HttpClient client(port);
            const HttpAnswer answer =
                client.Send(route.method, stranger.target, stranger.headers, stranger.body);
            EXPECT_EQ(answer.status, 401);
            Hold(operation, answer.status, answer.Header("Content-Type"), answer.body);
        }
    }
    // The answers that carry the most shape were among those held to the document.
    for (const char* id : {"getForecourt",
                           "getFuelPoint",
                           "authorise",
                           "stop",
                           "close",
                           "open",
                           "getTotals",
                           "emergencyStop",
                           "listSales",
                           "getSale",
                           "lockSale",
                           "unlockSale",
                           "clearSale",
                           "getReconciliation",
                           "getDiscrepancies",
                           "events",
                           "webSocket",
                           "getOpenApi",
                           "getHealth",
                           "getMetrics"}) {
        EXPECT_TRUE(succeeded.count(id)) << id << " did not succeed: " << failures[id];
    }
}

}  // namespace
}  // namespace fuel::test
