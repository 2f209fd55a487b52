#include "http/JsonSchema.h"

#include <gtest/gtest.h>

#include "tests/http/TestFormats.h"

namespace fuel::http {
namespace {

using nlohmann::json;

struct SchemaCase {
    const char* what;
    const char* schema;
    const char* value;
    const char* problem;  // nullptr: conforms; else the message's start
};

// The root every case's "$ref" resolves in.
const json& Root() {
    static const json root = json::parse(R"({
      "components": {"schemas": {
        "Price": {"type": "number", "exclusiveMinimum": 0},
        "Loop": {"$ref": "#/components/schemas/Loop"}
      }}})");
    return root;
}

class SchemaTest : public testing::TestWithParam<SchemaCase> {};

TEST_P(SchemaTest, ChecksTheValue) {
    const SchemaCase& c = GetParam();
    const auto problem =
        Validate(json::parse(c.value), json::parse(c.schema), Root(), TestFormats(), "body");
    if (c.problem == nullptr) {
        EXPECT_FALSE(problem.has_value()) << *problem;
    } else {
        ASSERT_TRUE(problem.has_value());
        EXPECT_EQ(problem->rfind(c.problem, 0), 0u) << *problem;
    }
}

const SchemaCase kCases[] = {
    {"an integer", R"({"type":"integer"})", "3", nullptr},
    {"a fraction is not an integer", R"({"type":"integer"})", "3.5", "body: must be an integer"},
    {"3.0 is not taken for 3", R"({"type":"integer"})", "3.0", "body: must be an integer"},
    {"a string is not an integer", R"({"type":"integer"})", "\"3\"", "body: must be an integer"},
    {"null where a list allows it", R"({"type":["string","null"]})", "null", nullptr},
    {"a string where a list allows it", R"({"type":["string","null"]})", "\"x\"", nullptr},
    {"neither of the list", R"({"type":["string","null"]})", "1", "body: must be a string or null"},
    {"a required field missing", R"({"type":"object","required":["price"]})", "{}",
     "price: is missing"},
    {"a field the object does not have",
     R"({"type":"object","additionalProperties":false,"properties":{"a":{}}})", R"({"x":1})",
     "x: is not a field of this object"},
    {"the path to a nested field",
     R"({"type":"object","properties":{"preset":{"type":"object","properties":
        {"value":{"type":"number","exclusiveMinimum":0}}}}})",
     R"({"preset":{"value":-1}})", "preset.value: must be greater than 0"},
    {"exclusiveMinimum at its bound", R"({"exclusiveMinimum":0})", "0",
     "body: must be greater than 0"},
    {"just above exclusiveMinimum", R"({"exclusiveMinimum":0})", "0.0001", nullptr},
    {"minimum at its bound", R"({"minimum":0})", "0", nullptr},
    {"below minimum", R"({"minimum":0})", "-0.0001", "body: must be at least 0"},
    {"above maximum", R"({"maximum":1000})", "1e308", "body: must be at most 1000"},
    {"in the enum", R"({"enum":["PAYABLE","LOCKED"]})", "\"PAYABLE\"", nullptr},
    {"not in the enum (case counts)", R"({"enum":["PAYABLE","LOCKED"]})", "\"payable\"",
     "body: must be one of [\"PAYABLE\",\"LOCKED\"]"},
    {"empty under minLength 1", R"({"type":"string","minLength":1})", "\"\"",
     "body: must not be empty"},
    {"over maxLength (characters, not bytes)", R"({"type":"string","maxLength":2})",
     "\"\u00e9\u00e9\u00e9\"", "body: must be at most 2 characters"},
    {"two characters of two bytes each", R"({"type":"string","maxLength":2})", "\"\u00e9\u00e9\"",
     nullptr},
    {"an item of the wrong type", R"({"type":"array","items":{"type":"integer"}})", R"([1,"a"])",
     "body[1]: must be an integer"},
    {"too many items", R"({"type":"array","maxItems":1})", "[1,2]", "body: must hold at most 1"},
    {"through a $ref", R"({"$ref":"#/components/schemas/Price"})", "-2",
     "body: must be greater than 0"},
    {"a $ref that leads nowhere", R"({"$ref":"#/components/schemas/Nothing"})", "1",
     "body: the schema's $ref leads nowhere"},
    {"a $ref that leads to itself", R"({"$ref":"#/components/schemas/Loop"})", "1",
     "body: the schema nests too deeply"},
    {"an unknown type name", R"({"type":"decimal"})", "1", "body: the schema names an unknown"},
    {"the second of anyOf", R"({"anyOf":[{"type":"string"},{"type":"null"}]})", "null", nullptr},
    {"none of anyOf", R"({"anyOf":[{"type":"string"},{"type":"null"}]})", "1",
     "body: must be a string"},
    {"a format the caller checks", R"({"type":"string","format":"digits"})", "\"2024\"", nullptr},
    {"a format the caller refuses", R"({"type":"string","format":"digits"})", "\"20x4\"",
     "body: must be digits only"},
    {"a format nested in an object",
     R"({"type":"object","properties":{"at":{"type":"string","format":"digits"}}})", R"({"at":""})",
     "at: must be digits only"},
    {"a format the caller does not name is not checked", R"({"type":"string","format":"email"})",
     "\"not an address\"", nullptr},
    {"a format applies to strings only", R"({"format":"digits"})", "12.5", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, SchemaTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SchemaCase>& info) {
                             std::string name;
                             for (const char* c = info.param.what; *c != '\0'; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace fuel::http
