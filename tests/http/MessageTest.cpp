// Requests and answers as plain values: a target taken apart (the router matches on what this
// decodes, so a wrong decoding routes a request somewhere it was not sent), headers by name in
// any case, and JSON answers that stay JSON whatever text they carry.
#include "http/Message.h"

#include <gtest/gtest.h>

namespace fuel::http {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(MessageTest, TakesATargetApartIntoDecodedSegmentsAndQuery) {
    struct Case {
        const char* what;
        const char* target;
        bool ok;
        std::vector<std::string> segments;
        Pairs query;
    };
    const Case cases[] = {
        {"the root", "/", true, {""}, {}},
        {"segments", "/api/v1/sales", true, {"api", "v1", "sales"}, {}},
        {"a trailing slash", "/a/", true, {"a", ""}, {}},
        {"escapes in a segment", "/grades/super%2095", true, {"grades", "super 95"}, {}},
        {"an escaped slash stays in its segment", "/a%2Fb", true, {"a/b"}, {}},
        {"'+' in a path is itself", "/a+b", true, {"a+b"}, {}},
        {"a query in order, '+' a space",
         "/s?state=PAYABLE&note=a+b%21",
         true,
         {"s"},
         {{"state", "PAYABLE"}, {"note", "a b!"}}},
        {"a name without a value", "/s?progress", true, {"s"}, {{"progress", ""}}},
        {"empty pairs are skipped", "/s?&&a=1&", true, {"s"}, {{"a", "1"}}},
        {"UTF-8 in an escape", "/%C3%A9", true, {"\xc3\xa9"}, {}},
        {"no leading slash", "api/v1", false, {}, {}},
        {"nothing", "", false, {}, {}},
        {"an escape cut short", "/a%2", false, {}, {}},
        {"an escape that is not hex", "/a%g1", false, {}, {}},
        {"a NUL", "/a%00b", false, {}, {}},
        {"a NUL in the query", "/a?x=%00", false, {}, {}},
        {"UTF-8 cut short", "/%C3", false, {}, {}},
        {"an overlong form", "/%C0%AF", false, {}, {}},
        {"a surrogate", "/%ED%A0%80", false, {}, {}},
        {"past U+10FFFF", "/%F4%90%80%80", false, {}, {}},
        {"a lone continuation byte", "/%80", false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto target = ParseTarget(c.target);
        ASSERT_EQ(target.has_value(), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(target->segments, c.segments);
        EXPECT_EQ(target->query, c.query);
    }
    const auto target = ParseTarget("/s?limit=5&limit=9");
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->path, "/s");
    EXPECT_EQ(QueryValue(*target, "limit"), "5");
    EXPECT_FALSE(QueryValue(*target, "Limit").has_value());
}

TEST(MessageTest, FindsAndSetsHeadersByNameInAnyCase) {
    Request request;
    request.headers = {{"Content-Type", "a"}, {"content-type", "b"}, {"X-Empty", ""}};
    EXPECT_EQ(request.Header("CONTENT-TYPE"), "a");
    EXPECT_EQ(request.Header("x-empty"), "");
    EXPECT_FALSE(request.Header("Content-Typ").has_value());

    Response response;
    response.SetHeader("Allow", "GET");
    response.SetHeader("allow", "GET, POST");
    response.SetHeader("Retry-After", "1");
    EXPECT_EQ(response.headers, (Pairs{{"Allow", "GET, POST"}, {"Retry-After", "1"}}));
}

TEST(MessageTest, KeepsAnAnswerJsonWhateverTextItCarries) {
    const Response response = ErrorResponse(409, "conflict", "grade \xff", {{"id", 1}});
    EXPECT_EQ(response.status, 409);
    EXPECT_EQ(response.contentType, "application/json");
    const auto body = nlohmann::json::parse(response.body, nullptr, false);
    ASSERT_FALSE(body.is_discarded()) << response.body;
    EXPECT_EQ(body["error"]["message"], "grade \xef\xbf\xbd");
    EXPECT_EQ(body["error"]["data"]["id"], 1);
    EXPECT_FALSE(
        nlohmann::json::parse(ErrorResponse(404, "x", "y").body)["error"].contains("data"));
}

}  // namespace
}  // namespace fuel::http
