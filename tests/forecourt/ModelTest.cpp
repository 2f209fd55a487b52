// The forecourt's times as clients send them: RFC 3339, real calendar dates in years
// 0001..9999, and the clock's own range where it cannot carry them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "forecourt/Model.h"

namespace fuel::forecourt {
namespace {

enum class Reads { Refused, Exactly, Earliest, Latest };

struct TimeCase {
    const char* text;
    Reads reads;
    const char* formatted;  // FormatTime of what it reads, with Exactly
};

class ParseTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ParseTimeTest, Reads) {
    const TimeCase& c = GetParam();
    const std::optional<Time> time = ParseTime(c.text);
    switch (c.reads) {
        case Reads::Refused:
            EXPECT_FALSE(time.has_value()) << FormatTime(*time);
            break;
        case Reads::Exactly:
            ASSERT_TRUE(time.has_value());
            EXPECT_EQ(FormatTime(*time), c.formatted);
            break;
        case Reads::Earliest:
            ASSERT_TRUE(time.has_value());
            EXPECT_EQ(*time, Time::min());
            break;
        case Reads::Latest:
            ASSERT_TRUE(time.has_value());
            EXPECT_EQ(*time, Time::max());
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseTimeTest,
    ::testing::Values(
        TimeCase{"2024-05-01T10:00:00.123Z", Reads::Exactly, "2024-05-01T10:00:00.123Z"},
        TimeCase{"2024-05-01t12:30:00+02:30", Reads::Exactly, "2024-05-01T10:00:00.000Z"},
        TimeCase{"2024-02-29T00:00:00Z", Reads::Exactly, "2024-02-29T00:00:00.000Z"},
        TimeCase{"2023-02-29T00:00:00Z", Reads::Refused, ""},
        TimeCase{"2026-02-30T00:00:00Z", Reads::Refused, ""},
        TimeCase{"2026-04-31T00:00:00Z", Reads::Refused, ""},
        TimeCase{"0000-01-01T00:00:00Z", Reads::Refused, ""},
        TimeCase{"2026-13-01T00:00:00Z", Reads::Refused, ""},
        TimeCase{"2026-01-01T24:00:00Z", Reads::Refused, ""},
        TimeCase{"2026-01-01T00:00:00", Reads::Refused, ""},
        TimeCase{"2026-01-01T00:00:00Zjunk", Reads::Refused, ""},
        // Beyond what the clock's nanoseconds carry: its ends, never wrapped.
        TimeCase{"0001-01-01T00:00:00Z", Reads::Earliest, ""},
        TimeCase{"1600-06-01T00:00:00Z", Reads::Earliest, ""},
        TimeCase{"9999-01-01T00:00:00Z", Reads::Latest, ""},
        TimeCase{"9999-12-31T23:59:59.999Z", Reads::Latest, ""}));

}  // namespace
}  // namespace fuel::forecourt
