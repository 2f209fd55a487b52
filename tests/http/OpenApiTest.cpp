// The document made from a small route table: what each kind of route is documented to need
// and answer, the pipeline's refusals among its answers, and the roles from the daemon's table.
#include "http/OpenApi.h"

#include <gtest/gtest.h>

#include "http/JsonSchema.h"

namespace fuel::http {
namespace {

using nlohmann::json;

void Nothing(HandlerContext&, const Call&, Respond) {}

const AccessTable& Access() {
    static const AccessTable table({{"viewer", {"read"}}, {"clerk", {"read", "sell"}}});
    return table;
}

DocumentInfo Info() {
    DocumentInfo info;
    info.title = "test-daemon";
    info.version = "1.2.3";
    info.description = "what it is";
    info.tokenHelp = "ask the administrator";
    info.changingNote = "Changes the shop.";
    info.keyExample = "key-1";
    info.errorCodeExample = "sold-out";
    info.errorDataExample = "the item";
    info.bodyLimit = 32 * 1024;
    info.changingResponses = {
        {409, "the key was used for another request", "application/json", SchemaRef("Error")},
        {503, "the shop is closed", "application/json", SchemaRef("Error")}};
    return info;
}

std::vector<Route> TestRoutes() {
    return {
        {.method = "GET",
         .path = "/health",
         .operationId = "getHealth",
         .summary = "read the health",
         .permission = std::string(kPublic),
         .responses = {{200, "healthy", "text/plain", nullptr}},
         .handler = Nothing},
        {.method = "GET",
         .path = "/items",
         .operationId = "listItems",
         .summary = "list items",
         .permission = "read",
         .parameters = {{.name = "limit",
                         .in = Parameter::In::Query,
                         .required = false,
                         .schema = {{"type", "integer"}},
                         .description = "at most this many",
                         .example = 5}},
         .responses = {{200, "the items", "application/json", {{"type", "array"}}}},
         .handler = Nothing},
        {.method = "POST",
         .path = "/items/{id}/sell",
         .operationId = "sell",
         .summary = "sell an item",
         .permission = "sell",
         .changes = true,
         .parameters = {{.name = "id", .schema = {{"type", "integer"}}, .description = "the item"}},
         .requestSchema = {{"type", "object"}},
         .requestExample = {{"price", 1}},
         .responses = {{200, "sold", "application/json", {{"type", "object"}}},
                       {409, "sold out", "application/json", SchemaRef("Error")}},
         .handler = Nothing},
    };
}

const json& Document() {
    static const json document = OpenApiDocument(
        TestRoutes(), {{"schemas", {{"Item", {{"type", "object"}}}}}}, Access(), Info());
    return document;
}

const json& Operation(const std::string& path, const std::string& method) {
    return Document()["paths"][path][method];
}

TEST(OpenApiTest, DocumentsAPublicRouteWithoutTokenOrRefusals) {
    const json& health = Operation("/health", "get");
    EXPECT_EQ(health["description"], "No token needed.");
    EXPECT_EQ(health["security"], json::array());
    EXPECT_EQ(health["x-roles"], (json{"viewer", "clerk"}));
    EXPECT_EQ(health["responses"].size(), 1u);
    EXPECT_EQ(health["responses"]["200"]["content"], (json{{"text/plain", json::object()}}));
    EXPECT_FALSE(health.contains("parameters"));
}

TEST(OpenApiTest, DocumentsWhoMaySendARouteAndThePipelinesRefusals) {
    const json& list = Operation("/items", "get");
    EXPECT_EQ(list["description"], "Roles that may send it: viewer, clerk.");
    EXPECT_EQ(list["security"], (json{{{"bearer", json::array()}}}));
    // Every role reads: no 403 to document.
    EXPECT_TRUE(list["responses"].contains("401"));
    EXPECT_FALSE(list["responses"].contains("403"));
    EXPECT_TRUE(list["responses"].contains("400"));  // it has a parameter
    EXPECT_FALSE(list["responses"].contains("413"));
    EXPECT_EQ(list["parameters"][0]["example"], 5);

    const json& sell = Operation("/items/{id}/sell", "post");
    EXPECT_EQ(sell["description"], "Roles that may send it: clerk. Changes the shop.");
    EXPECT_EQ(sell["x-roles"], (json{"clerk"}));
    for (const char* status : {"200", "400", "401", "403", "409", "413", "503"})
        EXPECT_TRUE(sell["responses"].contains(status)) << status;
    // The route's own 409 wins over the one every changing route may give.
    EXPECT_EQ(sell["responses"]["409"]["description"], "sold out");
    EXPECT_EQ(sell["responses"]["413"]["description"], "the body is over 32 KiB");
    EXPECT_EQ(sell["requestBody"]["description"], "JSON, at most 32 KiB; none is the same as {}");
    EXPECT_EQ(sell["requestBody"]["content"]["application/json"]["example"], (json{{"price", 1}}));
    const json& key = sell["parameters"].back();
    EXPECT_EQ(key["name"], "Idempotency-Key");
    EXPECT_EQ(key["in"], "header");
    EXPECT_EQ(key["required"], true);
    EXPECT_EQ(key["example"], "key-1");
}

// The pipeline's refusals are ErrorResponse bodies; the document must describe them as they
// are, or every client generated from it misreads them.
TEST(OpenApiTest, DescribesTheErrorsAsErrorResponseMakesThem) {
    const json error = SchemaRef("Error");
    EXPECT_FALSE(Validate(json::parse(ErrorResponse(403, "forbidden", "no").body), error,
                          Document(), Formats{}));
    EXPECT_FALSE(Validate(json::parse(ErrorResponse(409, "sold-out", "gone", {{"id", 3}}).body),
                          error, Document(), Formats{}));
    EXPECT_TRUE(Validate(json{{"error", {{"code", "x"}}}}, error, Document(), Formats{}));
    EXPECT_EQ(Document()["components"]["schemas"]["Error"]["properties"]["error"]["properties"]
                        ["code"]["description"],
              "what a program acts on, e.g. sold-out");
    EXPECT_TRUE(Document()["components"]["schemas"].contains("Item"));
    EXPECT_EQ(Document()["components"]["securitySchemes"]["bearer"]["description"],
              "ask the administrator");
    EXPECT_EQ(Document()["info"]["version"], "1.2.3");
}

}  // namespace
}  // namespace fuel::http
