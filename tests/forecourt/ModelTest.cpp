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

// The sales' list writes each sale's text itself: it must be the object ToJson makes, for
// every shape a sale takes (nulls, a prepaid lock, a fill at the pump, whole and tiny
// numbers, text that needs escaping and text that is not UTF-8).
TEST(SaleTextTest, IsTheObjectToJsonMakes) {
    Sale plain;
    plain.id = 7;
    plain.fuelPoint = 2;
    plain.nozzle = 1;
    plain.grade = "95";
    plain.price = 45.67;
    plain.volume = 20;
    plain.amount = 913.4;
    plain.authorisedBy = "till-1";
    plain.totalBefore = 100000;
    plain.totalAfter = 100020;
    plain.authorisedAt = Time{} + std::chrono::milliseconds(1714557600123);
    plain.startedAt = plain.authorisedAt + std::chrono::seconds(3);
    plain.endedAt = plain.startedAt + std::chrono::seconds(50);
    Sale locked = plain;
    locked.state = FillState::Locked;
    locked.prepaid = true;
    locked.preset = Preset::Money(1000);
    locked.lockedBy = "till \"Nord\" \\ 2\n";
    locked.lockedAt = plain.endedAt;
    Sale cleared = locked;
    cleared.state = FillState::Cleared;
    cleared.clearedBy = "кассa-3";
    cleared.clearedAt = plain.endedAt + std::chrono::minutes(1);
    cleared.preset = Preset::Volume(0.01);
    Sale pump = plain;
    pump.origin = Origin::Pump;
    pump.authorisedBy.clear();
    pump.amountComputed = true;
    pump.volume = 1e-5;
    pump.amount = 123456789.25;
    pump.totalBefore = 1e16;
    pump.totalAfter = 0.000123;
    pump.price = -0.5;
    pump.grade = std::string("9\xff") + "5";
    for (const Sale& sale : {plain, locked, cleared, pump}) {
        std::string text;
        AppendJson(text, sale);
        EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded()) << text;
        EXPECT_EQ(text, JsonText(ToJson(sale)));  // to the byte
    }
}

}  // namespace
}  // namespace fuel::forecourt
