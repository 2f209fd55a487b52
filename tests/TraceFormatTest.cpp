#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/TraceFormat.h"

namespace fuel {
namespace {

constexpr TraceStamp kStamp = 1796724930123456;  // 2026-12-08T10:15:30.123456Z

TEST(TraceFormatTest, ALineReadsAsTheGuideShowsIt) {
    TraceEvent call(kStamp, "call");
    call.Word("7").Word("StartPump").With("ch", 1).With("disp", 3).With("nozzle", 1);
    EXPECT_EQ(FormatTraceLine(call),
              "2026-12-08T10:15:30.123456Z call 7 StartPump ch=1 disp=3 nozzle=1");

    TraceEvent exchange(kStamp, "xchg");
    exchange.WithHex("frame", std::vector<std::uint8_t>{0x48, 0x01, 0x75, 0x03, 0x45})
        .WithHex("reply", std::vector<std::uint8_t>{})
        .With("msg", "Can't START POMP")
        .With("price", 45.67);
    EXPECT_EQ(FormatTraceLine(exchange),
              "2026-12-08T10:15:30.123456Z xchg frame=4801750345 reply=- msg=\"Can't START POMP\" "
              "price=45.67");
}

TEST(TraceFormatTest, EveryKindOfValueReadsBackAsWritten) {
    TraceEvent event(kStamp, "fail");
    event.Word("12").Word("SetPrice");
    const std::string texts[] = {"Невозможно установить цену",
                                 "a \"quoted\" word",
                                 "back\\slash",
                                 "tab\there",
                                 "line\nbreak\r",
                                 std::string("nul\0byte", 8),
                                 "",
                                 "C:\\KORA\\trace.txt",
                                 "=",
                                 "\x7F"};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        event.With("t" + std::to_string(i), texts[i]);
    }
    const double reals[] = {45.67, 0.1 + 0.2, 1e300, -0.0, 12.345678901234567};
    for (std::size_t i = 0; i < std::size(reals); ++i) {
        event.With("r" + std::to_string(i), reals[i]);
    }
    event.With("big", std::numeric_limits<std::uint64_t>::max())
        .With("neg", -1000)
        .With("yes", true);

    const TraceEvent read = ParseTraceLine(FormatTraceLine(event) + "\r\n");
    EXPECT_EQ(read.time, kStamp);
    EXPECT_EQ(read.kind, "fail");
    EXPECT_EQ(read.words, event.words);
    EXPECT_EQ(read.fields, event.fields);
    for (std::size_t i = 0; i < std::size(reals); ++i) {
        EXPECT_EQ(read.Real("r" + std::to_string(i)), reals[i]);
    }
    EXPECT_EQ(read.Integer("neg", -2000, 0), -1000);
    EXPECT_EQ(read.Text("t0"), "Невозможно установить цену");
}

struct StampCase {
    const char* text;
    std::optional<TraceStamp> stamp;
};

class StampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(StampTest, ReadsOnlyWholeUtcStamps) {
    EXPECT_EQ(ParseStamp(GetParam().text), GetParam().stamp);
    if (GetParam().stamp && std::string_view(GetParam().text).size() == 27) {
        EXPECT_EQ(FormatStamp(*GetParam().stamp), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, StampTest,
    ::testing::Values(StampCase{"1970-01-01T00:00:00.000000Z", 0},
                      StampCase{"2026-12-08T10:15:30.123456Z", kStamp},
                      StampCase{"2026-12-08T10:15:30Z", kStamp - 123456},
                      StampCase{"2026-12-08T10:15:30.5Z", kStamp - 123456 + 500000},
                      StampCase{"2024-02-29T23:59:59.999999Z", 1709251199999999},
                      StampCase{"1969-12-31T23:59:59.000001Z", -999999},
                      StampCase{"2026-02-30T00:00:00.000000Z", std::nullopt},
                      StampCase{"2026-12-08T24:00:00.000000Z", std::nullopt},
                      StampCase{"2026-12-08 10:15:30.123456Z", std::nullopt},
                      StampCase{"2026-12-08T10:15:30.123456", std::nullopt},
                      StampCase{"2026-12-08T10:15:30.1234567Z", std::nullopt},
                      StampCase{"2026-12-08T10:15:30.Z", std::nullopt},
                      StampCase{"2026-1x-08T10:15:30.123456Z", std::nullopt},
                      StampCase{"", std::nullopt}));

struct BadLine {
    const char* line;
    const char* error;
};

class BadLineTest : public ::testing::TestWithParam<BadLine> {};

TEST_P(BadLineTest, IsRefusedWithAReason) {
    try {
        ParseTraceLine(GetParam().line);
        ADD_FAILURE() << "read without complaint: " << GetParam().line;
    } catch (const TraceFormatError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().error), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadLineTest,
    ::testing::Values(BadLine{"", "empty line"}, BadLine{"   ", "empty line"},
                      BadLine{"hello world", "no time stamp"},
                      BadLine{"2026-12-08T10:15:30.123456Z", "no event"},
                      BadLine{"2026-12-08T10:15:30.123456Z x\"y", "no event name"},
                      BadLine{"2026-12-08T10:15:30.123456Z call msg=\"open", "no closing quote"},
                      BadLine{"2026-12-08T10:15:30.123456Z call msg=\"a\\q\"", "unknown escape"},
                      BadLine{"2026-12-08T10:15:30.123456Z call msg=\"a\\x4\"", "two hex digits"},
                      BadLine{"2026-12-08T10:15:30.123456Z call msg=\"a\"b", "runs on"},
                      BadLine{"2026-12-08T10:15:30.123456Z call =5", "without a name"},
                      BadLine{"2026-12-08T10:15:30.123456Z call a\"b", "stray quote"},
                      BadLine{"2026-12-08T10:15:30.123456Z call msg=\"ends\\", "lone backslash"}));

struct FieldCase {
    const char* line;
    std::function<void(const TraceEvent&)> read;
    const char* error;
};

class FieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldTest, AFieldThatIsNotWhatIsAskedForIsNamed) {
    const TraceEvent event = ParseTraceLine(GetParam().line);
    try {
        GetParam().read(event);
        ADD_FAILURE() << "read without complaint";
    } catch (const TraceFormatError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().error), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FieldTest,
    ::testing::Values(FieldCase{"2026-12-08T10:15:30Z xchg ch=33",
                                [](auto& e) { e.Integer("ch", 1, 32); },
                                "field 'ch' should be a whole number from 1 to 32, not '33'"},
                      FieldCase{"2026-12-08T10:15:30Z xchg ch=1.5",
                                [](auto& e) { e.Integer("ch", 1, 32); }, "not '1.5'"},
                      FieldCase{"2026-12-08T10:15:30Z xchg", [](auto& e) { e.Text("frame"); },
                                "no field 'frame' in the 'xchg' event"},
                      FieldCase{"2026-12-08T10:15:30Z xchg frame=481",
                                [](auto& e) { e.Hex("frame"); }, "bytes in hex"},
                      FieldCase{"2026-12-08T10:15:30Z xchg frame=48GG",
                                [](auto& e) { e.Hex("frame"); }, "bytes in hex"},
                      FieldCase{"2026-12-08T10:15:30Z done price=1,5",
                                [](auto& e) { e.Real("price"); }, "should be a number"},
                      FieldCase{"2026-12-08T10:15:30Z done",
                                [](auto& e) { e.WordAt(1, "operation name"); },
                                "has no operation name"}));

}  // namespace
}  // namespace fuel
