#include "http/EventStream.h"

#include <gtest/gtest.h>

namespace fuel::http {
namespace {

TEST(EventStreamTest, WritesAJournaledEventWithItsIdAndOneDataLine) {
    std::string out;
    AppendSseEvent(out, StreamEvent{42, "sale", R"({"id":42,"data":{"grade":"a\nb"}})"});
    EXPECT_EQ(out, "id: 42\nevent: sale\ndata: {\"id\":42,\"data\":{\"grade\":\"a\\nb\"}}\n\n");
}

// A browser keeps the last id it saw: progress without one leaves it on the last journaled
// event, which is where a resumed stream must start.
TEST(EventStreamTest, WritesProgressWithoutAnId) {
    std::string out;
    AppendSseEvent(out, StreamEvent{0, "fill-progress", "{}"});
    EXPECT_EQ(out, "event: fill-progress\ndata: {}\n\n");
}

TEST(EventStreamTest, WritesCommentsTheRetryAndTheLastErrorAsTheStandardReadsThem) {
    EXPECT_EQ(SseComment("heartbeat"), ": heartbeat\n\n");
    EXPECT_EQ(SseStart(std::chrono::milliseconds(2000)), "retry: 2000\n\n");
    EXPECT_EQ(SseError("too-slow", "behind"),
              "event: error\ndata: {\"error\":{\"code\":\"too-slow\",\"message\":\"behind\"}}\n\n");
}

}  // namespace
}  // namespace fuel::http
