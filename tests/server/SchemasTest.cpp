// The schemas' "date-time" is the forecourt's own reader: what the pipeline lets through, the
// handlers parse (a time they could not read would reach them as none).
#include "server/Schemas.h"

#include <gtest/gtest.h>

#include "forecourt/Model.h"

namespace fuel::server {
namespace {

TEST(SchemasTest, ChecksATimeAsTheForecourtReadsIt) {
    const nlohmann::json schema = Ref("Time");
    for (const char* text :
         {"2024-05-01T10:00:00Z", "2024-05-01T10:00:00.000Z", "2024-05-01T12:00:00+02:00",
          "yesterday", "2024-05-01", "", "2024-13-01T10:00:00Z", "2024-05-01T10:00:00"}) {
        const auto problem = http::Validate(text, schema, SchemaRoot(), SchemaFormats(), "at");
        EXPECT_EQ(problem.has_value(), !forecourt::ParseTime(text).has_value()) << text;
        if (problem) {
            EXPECT_EQ(problem->rfind("at: must be a time as RFC 3339 writes it", 0), 0u)
                << *problem;
        }
    }
    EXPECT_FALSE(http::Validate("2024-05-01T10:00:00.000Z", schema, SchemaRoot(), SchemaFormats()));
    EXPECT_TRUE(http::Validate("yesterday", schema, SchemaRoot(), SchemaFormats()));
}

}  // namespace
}  // namespace fuel::server
