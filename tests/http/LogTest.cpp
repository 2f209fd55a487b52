// The daemons' log: whole lines with their priority, and no token in any of them, however a
// client spelled where it put it.
#include "http/Log.h"

#include <gtest/gtest.h>

namespace fuel::http {
namespace {

TEST(LogTest, RedactsEveryBearerTokenWhereverAClientPutIt) {
    struct Case {
        const char* what;
        const char* message;
        const char* logged;
    };
    const Case cases[] = {
        {"a query's token", "127.0.0.1:5 GET /api/v1/events?access_token=abc.DEF-123 200",
         "127.0.0.1:5 GET /api/v1/events?access_token=REDACTED 200"},
        {"among other parameters", "GET /api/v1/ws?since=4&access_token=abc&progress=false",
         "GET /api/v1/ws?since=4&access_token=REDACTED&progress=false"},
        {"its name escaped", "GET /e?access%5Ftoken=abc", "GET /e?access%5Ftoken=REDACTED"},
        {"its name in capitals", "GET /e?ACCESS_TOKEN=abc", "GET /e?ACCESS_TOKEN=REDACTED"},
        {"twice", "GET /e?access_token=a&access_token=b",
         "GET /e?access_token=REDACTED&access_token=REDACTED"},
        {"a header's", "Authorization: Bearer abc.def", "Authorization: Bearer REDACTED"},
        {"the scheme in any case, spaced", "authorization: BEARER   abc",
         "authorization: BEARER   REDACTED"},
        {"the start of the message", "access_token=abc", "access_token=REDACTED"},
        {"a name that only ends so", "GET /e?my_access_token=abc", "GET /e?my_access_token=abc"},
        {"a word that only ends so", "unbearer abc", "unbearer abc"},
        {"nothing to redact", "GET /api/v1/sales?limit=5 200", "GET /api/v1/sales?limit=5 200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Redacted(c.message), c.logged);
    }
}

TEST(LogTest, WritesItsLinesRedacted) {
    SetVerbose(true);
    testing::internal::CaptureStderr();
    Log(Priority::Debug, "127.0.0.1:5 GET /api/v1/events?access_token=secret-1\nBearer secret-2");
    const std::string written = testing::internal::GetCapturedStderr();
    SetVerbose(false);
    EXPECT_EQ(written, "<7>127.0.0.1:5 GET /api/v1/events?access_token=REDACTED Bearer REDACTED\n");
}

}  // namespace
}  // namespace fuel::http
