// The request pipeline step by step, on a small API of its own (items that readers read and
// writers rename, a report, a stream, a public route) with tokens in memory: each step's
// refusals and what it hands on, the order of the steps, and the mapping of exceptions.
#include "http/Pipeline.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "tests/http/TestFormats.h"

namespace fuel::http {
namespace {

using nlohmann::json;
using Headers = std::vector<std::pair<std::string, std::string>>;

// What the daemon of this test throws when its store cannot be read.
class StoreDown : public std::runtime_error {
  public:
    StoreDown() : std::runtime_error("the store is down") {}
};

class MemoryTokens : public TokenStore {
  public:
    std::optional<Principal> Authenticate(std::string_view token) const override {
        if (token == "down")
            throw StoreDown();
        const auto found = tokens_.find(std::string(token));
        if (found == tokens_.end())
            return std::nullopt;
        return found->second;
    }
    void Revoke(const std::string& token) { tokens_.erase(token); }

  private:
    std::map<std::string, Principal> tokens_ = {{"tok-r", {"reader-1", "reader"}},
                                                {"tok-w", {"writer-1", "writer"}},
                                                {"tok-ghost", {"ghost-1", "ghost"}}};
};

struct TestContext : HandlerContext {
    int handled = 0;
};

// Answers with what it was handed, so that a test sees what the steps made of the request.
void Echo(TestContext& context, const Call& call, Respond respond) {
    ++context.handled;
    respond(JsonResponse(200, {{"parameters", call.parameters},
                               {"body", call.body},
                               {"principal", call.principal ? call.principal->name : ""},
                               {"key", call.idempotencyKey}}));
}

void Throw(TestContext&, const Call& call, Respond) {
    if (call.parameters.at("what") == "store")
        throw StoreDown();
    throw std::runtime_error("it broke");
}

void Follow(TestContext& context, const Call& call, Respond respond) {
    ++context.handled;
    Response response;
    response.stream = StreamStart{.client = call.principal->name};
    respond(std::move(response));
}

void AnswerThenThrow(TestContext&, const Call&, Respond respond) {
    respond(JsonResponse(200, json::object()));
    throw std::runtime_error("after the answer");
}

Parameter Id() {
    return {.name = "id",
            .in = Parameter::In::Path,
            .schema = {{"type", "integer"}, {"minimum", 1}},
            .description = "the item"};
}

Parameter Query(std::string name, json schema, bool required = false) {
    return {.name = std::move(name),
            .in = Parameter::In::Query,
            .required = required,
            .schema = std::move(schema)};
}

const std::vector<Route>& TestRoutes() {
    static const std::vector<Route> routes = {
        {.method = "GET",
         .path = "/items",
         .summary = "list items",
         .permission = "read",
         .parameters = {Query("limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 10}}),
                        Query("flag", {{"type", "boolean"}}),
                        {.name = "X-Trace",
                         .in = Parameter::In::Header,
                         .required = false,
                         .schema = {{"type", "string"}, {"maxLength", 8}}}},
         .handler = HandlerOf(Echo)},
        {.method = "GET",
         .path = "/items/{id}",
         .summary = "read an item",
         .permission = "read",
         .parameters = {Id()},
         .handler = HandlerOf(Echo)},
        {.method = "POST",
         .path = "/items/{id}/rename",
         .summary = "rename an item",
         .permission = "write",
         .changes = true,
         .parameters = {Id()},
         .requestSchema = {{"type", "object"},
                           {"additionalProperties", false},
                           {"required", {"name"}},
                           {"properties", {{"name", {{"type", "string"}, {"minLength", 1}}}}}},
         .handler = HandlerOf(Echo)},
        {.method = "POST",
         .path = "/items/{id}/touch",
         .summary = "touch an item",
         .permission = "write",
         .changes = true,
         .parameters = {Id()},
         .requestSchema = {{"$ref", "#/components/schemas/Empty"}},
         .handler = HandlerOf(Echo)},
        {.method = "GET",
         .path = "/report",
         .summary = "read the report",
         .permission = "read",
         .parameters = {Query("day", {{"type", "string"}, {"format", "digits"}}, true),
                        Query("ratio", {{"type", "number"}})},
         .handler = HandlerOf(Echo)},
        {.method = "GET",
         .path = "/stream",
         .summary = "follow the items",
         .permission = "read",
         .parameters = {Query("access_token", {{"type", "string"}})},
         .handler = HandlerOf(Echo)},
        {.method = "GET",
         .path = "/events",
         .summary = "follow the items as Server-Sent Events",
         .permission = "read",
         .transport = Transport::ServerSentEvents,
         .handler = HandlerOf(Follow)},
        {.method = "GET",
         .path = "/socket",
         .summary = "follow the items on a WebSocket",
         .permission = "read",
         .transport = Transport::WebSocket,
         .handler = HandlerOf(Follow)},
        {.method = "GET",
         .path = "/health",
         .summary = "read the health",
         .permission = std::string(kPublic),
         .handler = HandlerOf(Echo)},
        {.method = "GET",
         .path = "/throw/{what}",
         .summary = "throw",
         .permission = std::string(kPublic),
         .parameters = {{.name = "what", .schema = {{"type", "string"}}}},
         .handler = HandlerOf(Throw)},
        {.method = "GET",
         .path = "/answer-then-throw",
         .summary = "answer, then throw",
         .permission = std::string(kPublic),
         .handler = HandlerOf(AnswerThenThrow)},
    };
    return routes;
}

const json& TestRoot() {
    static const json root = {{"components",
                               {{"schemas",
                                 {{"Empty",
                                   {{"type", "object"},
                                    {"additionalProperties", false},
                                    {"properties", json::object()}}}}}}}};
    return root;
}

std::string Code(const Response& response) {
    const json body = json::parse(response.body, nullptr, false);
    return body.is_object() && body.contains("error") ? body["error"].value("code", "") : "";
}

std::string Message(const Response& response) {
    const json body = json::parse(response.body, nullptr, false);
    return body.is_object() && body.contains("error") ? body["error"].value("message", "") : "";
}

std::string HeaderOf(const Response& response, const std::string& name) {
    for (const auto& [key, value] : response.headers) {
        if (key == name)
            return value;
    }
    return "";
}

Request MakeRequest(const std::string& method, const std::string& target,
                    const std::string& token = "", const std::string& body = "",
                    const std::string& key = "") {
    Request request{method, target, {{"Host", "test"}}, body, "test"};
    if (!token.empty())
        request.headers.emplace_back("Authorization", "Bearer " + token);
    if (!key.empty())
        request.headers.emplace_back("Idempotency-Key", key);
    return request;
}

class PipelineTest : public testing::Test {
  protected:
    PipelineTest()
        : pipeline_({.routes = TestRoutes(),
                     .access = access_,
                     .tokens = tokens_,
                     .schemaRoot = TestRoot(),
                     .formats = TestFormats(),
                     .realm = "test-daemon",
                     .mapError = [](const std::exception& error) -> std::optional<Response> {
                         if (dynamic_cast<const StoreDown*>(&error) == nullptr)
                             return std::nullopt;
                         return ErrorResponse(503, "store-down", error.what());
                     }},
                    context_) {}

    // Runs the steps up to and with `last` on the request; the refusal of the first that
    // refuses, or nullopt.
    std::optional<Response> RunTo(PipelineStep last, Passage& passage) const {
        for (const PipelineStep step : kPipelineSteps) {
            if (auto refusal = (pipeline_.*step)(passage))
                return refusal;
            if (step == last)
                break;
        }
        return std::nullopt;
    }

    // The whole pipeline; the answer, which every request here gets at once.
    Response Handle(const Request& request) {
        std::vector<Response> answers;
        pipeline_.Handle(request, [&](Response response) { answers.push_back(response); });
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? Response{} : answers.front();
    }

    AccessTable access_{{{"reader", {"read"}}, {"writer", {"read", "write"}}}};
    MemoryTokens tokens_;
    TestContext context_;
    Pipeline pipeline_;
};

struct StepCase {
    const char* what;
    Request request;
    int status;           // 0: the step lets it pass
    const char* code;     // the refusal's code
    const char* message;  // the refusal's message starts so ("" to leave it)
};

void ExpectRefusal(const std::optional<Response>& refusal, const StepCase& c) {
    if (c.status == 0) {
        EXPECT_FALSE(refusal.has_value()) << refusal->body;
        return;
    }
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->status, c.status) << refusal->body;
    EXPECT_EQ(Code(*refusal), c.code) << refusal->body;
    EXPECT_EQ(Message(*refusal).rfind(c.message, 0), 0u) << refusal->body;
}

TEST_F(PipelineTest, FindsTheRouteByEveryDecodedSegmentOrSaysWhyNot) {
    const StepCase cases[] = {
        {"a route", MakeRequest("GET", "/items"), 0, "", ""},
        {"a capture", MakeRequest("GET", "/items/5"), 0, "", ""},
        {"an escaped capture", MakeRequest("GET", "/items/%35"), 0, "", ""},
        {"a trailing slash is another path", MakeRequest("GET", "/items/"), 404, "not-found",
         "there is nothing at /items/"},
        {"an empty segment captures nothing", MakeRequest("GET", "/items//rename"), 404,
         "not-found", ""},
        {"a path of no route", MakeRequest("GET", "/things"), 404, "not-found", ""},
        {"an escaped slash is no separator", MakeRequest("GET", "/items%2F5"), 404, "not-found",
         ""},
        {"not a path", MakeRequest("GET", "*"), 400, "bad-request", "the request's target"},
        {"a broken escape", MakeRequest("GET", "/items/%zz"), 400, "bad-request", ""},
        {"an escape to a NUL", MakeRequest("GET", "/items/1%00"), 400, "bad-request", ""},
        {"a method the path lacks", MakeRequest("DELETE", "/items/5"), 405, "method-not-allowed",
         "DELETE is not a request for /items/5"},
        {"methods are case-sensitive", MakeRequest("get", "/items"), 405, "method-not-allowed", ""},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.what);
        Passage passage(c.request);
        ExpectRefusal(pipeline_.FindRoute(passage), c);
        EXPECT_EQ(passage.route != nullptr, c.status == 0);
    }
    // Every method the path has, in the table's order.
    const Request passageRequest = MakeRequest("PUT", "/items/5/rename");
    Passage passage(passageRequest);
    const auto refusal = pipeline_.FindRoute(passage);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(HeaderOf(*refusal, "Allow"), "POST");
}

TEST_F(PipelineTest, AuthenticatesTheBearerAndHoldsItsRoleToTheRoute) {
    const auto with = [](Request request, const std::string& authorization) {
        request.headers.emplace_back("Authorization", authorization);
        return request;
    };
    const StepCase cases[] = {
        {"a public route takes no token", MakeRequest("GET", "/health"), 0, "", ""},
        {"a reader reads", MakeRequest("GET", "/items", "tok-r"), 0, "", ""},
        {"the scheme in any case, the token trimmed",
         with(MakeRequest("GET", "/items"), "bEARER  tok-r  "), 0, "", ""},
        {"a writer reads too", MakeRequest("GET", "/items", "tok-w"), 0, "", ""},
        {"no token", MakeRequest("GET", "/items"), 401, "no-token", "this request needs"},
        {"another scheme", with(MakeRequest("GET", "/items"), "Basic dXNlcjpwdw=="), 401,
         "no-token", ""},
        {"the scheme alone", with(MakeRequest("GET", "/items"), "Bearer"), 401, "no-token", ""},
        {"an unknown token", MakeRequest("GET", "/items", "tok-x"), 401, "bad-token",
         "the token is unknown or revoked"},
        {"a reader renaming", MakeRequest("POST", "/items/1/rename", "tok-r"), 403, "forbidden",
         "a client with the role reader may not rename an item"},
        {"a role the table does not know", MakeRequest("GET", "/items", "tok-ghost"), 403,
         "forbidden", "a client with the role ghost"},
        {"the token in the query where the route takes it",
         MakeRequest("GET", "/stream?access_token=tok-r"), 0, "", ""},
        {"the token in the query where the route does not take it",
         MakeRequest("GET", "/items?access_token=tok-r"), 401, "no-token", ""},
        {"the header wins over the query",
         MakeRequest("GET", "/stream?access_token=tok-r", "tok-x"), 401, "bad-token", ""},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.what);
        Passage passage(c.request);
        ExpectRefusal(RunTo(&Pipeline::Authenticate, passage), c);
    }
}

TEST_F(PipelineTest, TellsAMissingTokenFromABadOneInWwwAuthenticate) {
    const Request noneRequest = MakeRequest("GET", "/items");
    Passage none(noneRequest);
    EXPECT_EQ(HeaderOf(*RunTo(&Pipeline::Authenticate, none), "WWW-Authenticate"),
              "Bearer realm=\"test-daemon\"");
    const Request badRequest = MakeRequest("GET", "/items", "tok-x");
    Passage bad(badRequest);
    EXPECT_EQ(HeaderOf(*RunTo(&Pipeline::Authenticate, bad), "WWW-Authenticate"),
              "Bearer realm=\"test-daemon\", error=\"invalid_token\"");
    const Request goodRequest = MakeRequest("GET", "/items", "tok-w");
    Passage good(goodRequest);
    ASSERT_FALSE(RunTo(&Pipeline::Authenticate, good).has_value());
    ASSERT_TRUE(good.call.principal.has_value());
    EXPECT_EQ(good.call.principal->name, "writer-1");
    EXPECT_EQ(good.call.principal->role, "writer");
}

TEST_F(PipelineTest, BindsEachParameterTypedByItsSchema) {
    struct BindCase {
        const char* what;
        Request request;
        json parameters;      // what the call holds when it passes
        const char* problem;  // else the 400's message starts so
    };
    Request traced = MakeRequest("GET", "/items", "tok-r");
    traced.headers.emplace_back("x-trace", "abc");
    Request overlong = MakeRequest("GET", "/items", "tok-r");
    overlong.headers.emplace_back("X-Trace", "123456789");
    const BindCase cases[] = {
        {"none", MakeRequest("GET", "/items", "tok-r"), json::object(), nullptr},
        {"an integer", MakeRequest("GET", "/items?limit=3", "tok-r"), {{"limit", 3}}, nullptr},
        {"an integer's text is not an integer", MakeRequest("GET", "/items?limit=3x", "tok-r"),
         nullptr, "query parameter limit: must be an integer"},
        {"below the minimum", MakeRequest("GET", "/items?limit=0", "tok-r"), nullptr,
         "query parameter limit: must be at least 1"},
        {"a repeated one", MakeRequest("GET", "/items?limit=2&limit=99", "tok-r"), nullptr,
         "query parameter limit is given more than once"},
        {"a repeated one, escaped and apart",
         MakeRequest("GET", "/items?li%6Dit=2&flag=true&limit=2", "tok-r"), nullptr,
         "query parameter limit is given more than once"},
        {"a boolean as 1", MakeRequest("GET", "/items?flag=1", "tok-r"), {{"flag", true}}, nullptr},
        {"a boolean as false",
         MakeRequest("GET", "/items?flag=false", "tok-r"),
         {{"flag", false}},
         nullptr},
        {"yes is no boolean", MakeRequest("GET", "/items?flag=yes", "tok-r"), nullptr,
         "query parameter flag: must be a boolean"},
        {"a query parameter the route does not have",
         MakeRequest("GET", "/items?colour=red", "tok-r"), nullptr,
         "query parameter colour is not one of this request's"},
        {"a header, by its name in any case", traced, {{"X-Trace", "abc"}}, nullptr},
        {"a header over its schema", overlong, nullptr,
         "header X-Trace: must be at most 8 characters"},
        {"a path parameter", MakeRequest("GET", "/items/12", "tok-r"), {{"id", 12}}, nullptr},
        {"a path parameter below its minimum", MakeRequest("GET", "/items/0", "tok-r"), nullptr,
         "path parameter id: must be at least 1"},
        {"a path parameter past the integers",
         MakeRequest("GET", "/items/99999999999999999999", "tok-r"), nullptr,
         "path parameter id: must be an integer"},
        {"a required one missing", MakeRequest("GET", "/report?ratio=1", "tok-r"), nullptr,
         "query parameter day is missing"},
        {"the daemon's format",
         MakeRequest("GET", "/report?day=0501", "tok-r"),
         {{"day", "0501"}},
         nullptr},
        {"the daemon's format refused", MakeRequest("GET", "/report?day=5th", "tok-r"), nullptr,
         "query parameter day: must be digits only"},
        {"a number",
         MakeRequest("GET", "/report?day=1&ratio=2.5e1", "tok-r"),
         {{"day", "1"}, {"ratio", 25.0}},
         nullptr},
        {"hexadecimal is no number", MakeRequest("GET", "/report?day=1&ratio=0x10", "tok-r"),
         nullptr, "query parameter ratio: must be a number"},
        {"infinity is no number", MakeRequest("GET", "/report?day=1&ratio=inf", "tok-r"), nullptr,
         "query parameter ratio: must be a number"},
    };
    for (const BindCase& c : cases) {
        SCOPED_TRACE(c.what);
        Passage passage(c.request);
        const auto refusal = RunTo(&Pipeline::BindParameters, passage);
        if (c.problem == nullptr) {
            ASSERT_FALSE(refusal.has_value()) << refusal->body;
            EXPECT_EQ(passage.call.parameters, c.parameters);
        } else {
            ASSERT_TRUE(refusal.has_value());
            EXPECT_EQ(refusal->status, 400);
            EXPECT_EQ(Code(*refusal), "bad-request");
            EXPECT_EQ(Message(*refusal).rfind(c.problem, 0), 0u) << refusal->body;
        }
    }
}

TEST_F(PipelineTest, TakesTheIdempotencyKeyOfAChangingRouteOnly) {
    struct KeyCase {
        const char* what;
        const char* target;
        std::string key;  // "" for none
        bool passes;
    };
    const KeyCase cases[] = {
        {"a key", "/items/1/touch", "till-1-000042", true},
        {"255 characters", "/items/1/touch", std::string(255, 'k'), true},
        {"every visible character", "/items/1/touch", "!~", true},
        {"no key", "/items/1/touch", "", false},
        {"256 characters", "/items/1/touch", std::string(256, 'k'), false},
        {"a space", "/items/1/touch", "a b", false},
        {"a control character", "/items/1/touch", "a\x7f", false},
        {"letters past ASCII", "/items/1/touch", "caf\xc3\xa9", false},
        {"no key where nothing changes", "/items/1", "", true},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string method =
            std::string(c.target).find("touch") != std::string::npos ? "POST" : "GET";
        const Request passageRequest = MakeRequest(method, c.target, "tok-w", "", c.key);
        Passage passage(passageRequest);
        const auto refusal = RunTo(&Pipeline::TakeIdempotencyKey, passage);
        if (c.passes) {
            ASSERT_FALSE(refusal.has_value()) << refusal->body;
            EXPECT_EQ(passage.call.idempotencyKey, method == "POST" ? c.key : "");
        } else {
            ASSERT_TRUE(refusal.has_value());
            EXPECT_EQ(refusal->status, 400);
            EXPECT_EQ(Code(*refusal), "no-idempotency-key");
        }
    }
    // A key on a request that changes nothing is no mistake, and is not taken.
    const Request readingRequest = MakeRequest("GET", "/items/1", "tok-r", "", "k");
    Passage reading(readingRequest);
    EXPECT_FALSE(RunTo(&Pipeline::TakeIdempotencyKey, reading).has_value());
    EXPECT_EQ(reading.call.idempotencyKey, "");
}

TEST_F(PipelineTest, ValidatesTheBodyAgainstTheRoutesSchema) {
    struct BodyCase {
        const char* what;
        const char* target;
        const char* body;
        json parsed;          // what the call holds when it passes
        const char* problem;  // else the 400's message starts so
    };
    const BodyCase cases[] = {
        {"a body", "/items/1/rename", R"({"name":"spanner"})", {{"name", "spanner"}}, nullptr},
        {"no body is the empty object", "/items/1/touch", "", json::object(), nullptr},
        {"white space is no body", "/items/1/touch", " \r\n\t", json::object(), nullptr},
        {"no body where a field is required", "/items/1/rename", "", nullptr, "name: is missing"},
        {"not JSON", "/items/1/rename", R"({"name":)", nullptr, "the body is not JSON"},
        {"a list", "/items/1/rename", "[]", nullptr, "body: must be an object"},
        {"a field the schema does not have", "/items/1/rename", R"({"name":"a","size":2})", nullptr,
         "size: is not a field of this object"},
        {"through the root's $ref", "/items/1/touch", R"({"now":true})", nullptr,
         "now: is not a field of this object"},
    };
    for (const BodyCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Request passageRequest = MakeRequest("POST", c.target, "tok-w", c.body, "k");
        Passage passage(passageRequest);
        const auto refusal = RunTo(&Pipeline::ValidateBody, passage);
        if (c.problem == nullptr) {
            ASSERT_FALSE(refusal.has_value()) << refusal->body;
            EXPECT_EQ(passage.call.body, c.parsed);
        } else {
            ASSERT_TRUE(refusal.has_value());
            EXPECT_EQ(refusal->status, 400);
            EXPECT_EQ(Message(*refusal).rfind(c.problem, 0), 0u) << refusal->body;
        }
    }
    // A route without a body schema ignores what is sent.
    const Request readingRequest = MakeRequest("GET", "/items/1", "tok-r", "not JSON");
    Passage reading(readingRequest);
    EXPECT_FALSE(RunTo(&Pipeline::ValidateBody, reading).has_value());
    EXPECT_TRUE(reading.call.body.is_null());
}

// Where a request is wrong in two ways, the earlier step answers: a caller learns what to
// mend first, and no later step works on what an earlier one would have refused.
TEST_F(PipelineTest, RefusesWithTheFirstStepThatFails) {
    const StepCase cases[] = {
        {"no route before no token", MakeRequest("GET", "/nothing"), 404, "not-found", ""},
        {"no token before a bad parameter", MakeRequest("GET", "/items/0"), 401, "no-token", ""},
        {"the role before a bad parameter", MakeRequest("POST", "/items/0/rename", "tok-r"), 403,
         "forbidden", ""},
        {"a bad parameter before no key", MakeRequest("POST", "/items/0/rename", "tok-w"), 400,
         "bad-request", "path parameter id"},
        {"no key before a bad body", MakeRequest("POST", "/items/1/rename", "tok-w", "[]"), 400,
         "no-idempotency-key", ""},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Response response = Handle(c.request);
        EXPECT_EQ(response.status, c.status) << response.body;
        EXPECT_EQ(Code(response), c.code);
        EXPECT_EQ(Message(response).rfind(c.message, 0), 0u) << response.body;
    }
    EXPECT_EQ(context_.handled, 0);
}

// What the request asks of the connection must be what the route is: one site (Host), and
// the route's transport, decided here once so that the session only carries it out.
TEST_F(PipelineTest, HoldsTheRequestToOneHostAndToItsRoutesTransport) {
    const auto with = [](Request request, Headers headers) {
        for (auto& header : headers)
            request.headers.push_back(std::move(header));
        return request;
    };
    const auto without = [](Request request, const std::string& name) {
        std::erase_if(request.headers, [&](const auto& field) { return field.first == name; });
        return request;
    };
    const Headers handshake = {{"Connection", "keep-alive, Upgrade"}, {"Upgrade", "WebSocket"}};
    const StepCase cases[] = {
        {"no Host", without(MakeRequest("GET", "/health"), "Host"), 400, "bad-request",
         "the request has no Host header"},
        {"two Hosts", with(MakeRequest("GET", "/health"), {{"host", "other"}}), 400, "bad-request",
         "the request has 2 Host headers"},
        {"a WebSocket's handshake", with(MakeRequest("GET", "/socket", "tok-r"), handshake), 0, "",
         ""},
        {"a plain GET of a WebSocket", MakeRequest("GET", "/socket", "tok-r"), 426,
         "upgrade-required", ""},
        {"Upgrade without Connection: Upgrade",
         with(MakeRequest("GET", "/socket", "tok-r"), {{"Upgrade", "websocket"}}), 426,
         "upgrade-required", ""},
        {"a handshake for Server-Sent Events",
         with(MakeRequest("GET", "/events", "tok-r"), handshake), 400, "bad-request",
         "/events is not a WebSocket"},
        {"a handshake for an answer", with(MakeRequest("GET", "/items", "tok-r"), handshake), 400,
         "bad-request", "/items is not a WebSocket"},
        {"Server-Sent Events", MakeRequest("GET", "/events", "tok-r"), 0, "", ""},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.what);
        Passage passage(c.request);
        ExpectRefusal(RunTo(&Pipeline::CheckTransport, passage), c);
    }
    const Response refused = Handle(MakeRequest("GET", "/socket", "tok-r"));
    EXPECT_EQ(HeaderOf(refused, "Upgrade"), "websocket");
    EXPECT_EQ(context_.handled, 0);
}

// A stream outlives the request that opened it: what it is handed says which transport it
// is and asks the token store again each time, so that a revoked token ends it.
TEST_F(PipelineTest, HandsAStreamItsTransportAndAskingAfterItsToken) {
    struct Case {
        const char* target;
        Headers headers;
        bool webSocket;
    };
    const Case cases[] = {
        {"/events", {}, false},
        {"/socket", {{"Connection", "Upgrade"}, {"Upgrade", "websocket"}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Request request = MakeRequest("GET", c.target, "tok-w");
        request.headers.insert(request.headers.end(), c.headers.begin(), c.headers.end());
        const Response response = Handle(request);
        ASSERT_TRUE(response.stream.has_value()) << response.body;
        EXPECT_EQ(response.stream->webSocket, c.webSocket);
        ASSERT_TRUE(response.stream->stillAllowed);
        EXPECT_TRUE(response.stream->stillAllowed());
    }
    const Response stream = Handle(MakeRequest("GET", "/events", "tok-r"));
    ASSERT_TRUE(stream.stream && stream.stream->stillAllowed);
    tokens_.Revoke("tok-r");
    EXPECT_FALSE(stream.stream->stillAllowed());
}

TEST_F(PipelineTest, HandsWhatPassedToTheHandler) {
    const Response response =
        Handle(MakeRequest("POST", "/items/7/rename", "tok-w", R"({"name":"spanner"})", "k-7"));
    ASSERT_EQ(response.status, 200) << response.body;
    EXPECT_EQ(json::parse(response.body), (json{{"parameters", {{"id", 7}}},
                                                {"body", {{"name", "spanner"}}},
                                                {"principal", "writer-1"},
                                                {"key", "k-7"}}));
    EXPECT_EQ(context_.handled, 1);
}

TEST_F(PipelineTest, MapsWhatIsThrownToTheDaemonsAnswerOrA500) {
    struct ErrorCase {
        const char* what;
        Request request;
        int status;
        const char* code;
    };
    const ErrorCase cases[] = {
        {"the daemon's own failure", MakeRequest("GET", "/throw/store"), 503, "store-down"},
        {"any other", MakeRequest("GET", "/throw/else"), 500, "internal-error"},
        {"the token store failing in a step", MakeRequest("GET", "/items", "down"), 503,
         "store-down"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Response response = Handle(c.request);
        EXPECT_EQ(response.status, c.status) << response.body;
        EXPECT_EQ(Code(response), c.code);
    }
    // An answer given before the throw stands, and is the only one.
    EXPECT_EQ(Handle(MakeRequest("GET", "/answer-then-throw")).status, 200);
}

}  // namespace
}  // namespace fuel::http
