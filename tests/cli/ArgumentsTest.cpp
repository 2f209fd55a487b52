#include "cli/Arguments.h"

#include <gtest/gtest.h>

#include <array>

namespace fuel::cli {
namespace {

const std::array<OptionDefinition, 3> kOptions = {{
    {"litres", "LITRES", ""},
    {"trace", "", ""},
    {"fault", "KIND", ""},
}};

ParsedArguments Parse(std::vector<std::string> words) {
    return ParseArguments(words, kOptions);
}

TEST(ArgumentsTest, OptionsStandAnywhereAmongOperands) {
    const ParsedArguments parsed = Parse({"1", "--trace", "2", "--litres=12,5", "--fault",
                                          "silence", "--fault", "late", "--", "--trace"});
    EXPECT_EQ(parsed.Operands(), (std::vector<std::string>{"1", "2", "--trace"}));
    EXPECT_EQ(parsed.FirstOperandAt(), 0u);
    EXPECT_TRUE(parsed.Has("trace"));
    EXPECT_FALSE(parsed.Has("nozzle"));
    // In the order given, a repeated one each time: the reader keeps the last or all.
    const ParsedArguments::Given given = {
        {"trace", std::nullopt}, {"litres", "12,5"}, {"fault", "silence"}, {"fault", "late"}};
    EXPECT_EQ(parsed.AllGiven(), given);
}

TEST(ArgumentsTest, NegativeNumbersAreOperands) {
    const ParsedArguments parsed = Parse({"-3.7", "--trace", "-1", "-.5"});
    EXPECT_EQ(parsed.Operands(), (std::vector<std::string>{"-3.7", "-1", "-.5"}));
    EXPECT_TRUE(parsed.Has("trace"));
}

// A subcommand is the first operand, whatever options stand before it.
TEST(ArgumentsTest, TheFirstOperandIsFoundPastTheOptionsAndTheirValues) {
    EXPECT_EQ(Parse({"--litres", "5", "--trace", "read", "1"}).FirstOperandAt(), 3u);
    EXPECT_EQ(Parse({"--trace", "--litres=5"}).FirstOperandAt(), std::nullopt);
}

// The caller says why an option is not taken; the parser only finds it.
TEST(ArgumentsTest, AnOptionNotTakenGoesToTheRefusal) {
    const std::vector<std::string> words = {"1", "--money", "5"};
    std::string refused;
    EXPECT_THROW(ParseArguments(words, kOptions,
                                [&](std::string_view name) {
                                    refused = name;
                                    throw UsageError("not taken");
                                }),
                 UsageError);
    EXPECT_EQ(refused, "money");
}

TEST(ArgumentsTest, ShortHelpIsHelp) {
    EXPECT_TRUE(Parse({"-h"}).Has("help"));
}

struct BadWords {
    std::vector<std::string> words;
    const char* message;
};

class BadArgumentsTest : public ::testing::TestWithParam<BadWords> {};

TEST_P(BadArgumentsTest, IsAUsageErrorThatSaysWhy) {
    try {
        Parse(GetParam().words);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Words, BadArgumentsTest,
                         ::testing::Values(BadWords{{"--nozle", "1"}, "unknown option '--nozle'"},
                                           BadWords{{"-x"}, "unknown option '-x'"},
                                           BadWords{{"--litres"}, "--litres needs a value"},
                                           BadWords{{"--trace=1"}, "--trace takes no value"}));

struct Number {
    const char* text;
    bool valid;
    double value;
};

class QuantityTest : public ::testing::TestWithParam<Number> {};

TEST_P(QuantityTest, AcceptsOnlyFiniteNumbersInRange) {
    const Number& n = GetParam();
    if (n.valid) {
        EXPECT_DOUBLE_EQ(ParseQuantity(n.text, "price", 99.99), n.value);
    } else {
        EXPECT_THROW(ParseQuantity(n.text, "price", 99.99), UsageError);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, QuantityTest,
                         ::testing::Values(Number{"45.67", true, 45.67},
                                           Number{"45,67", true, 45.67}, Number{"0", true, 0},
                                           Number{"99.99", true, 99.99}, Number{"100", false, 0},
                                           Number{"-1", false, 0}, Number{"nan", false, 0},
                                           Number{"inf", false, 0}, Number{"4x", false, 0},
                                           Number{"", false, 0}));

class IntegerTest : public ::testing::TestWithParam<Number> {};

TEST_P(IntegerTest, TakesDecimalAndHexWithinBounds) {
    const Number& n = GetParam();
    if (n.valid) {
        EXPECT_EQ(ParseInteger(n.text, "cell", 0, 511), static_cast<std::int64_t>(n.value));
    } else {
        EXPECT_THROW(ParseInteger(n.text, "cell", 0, 511), UsageError);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, IntegerTest,
                         ::testing::Values(Number{"148", true, 148}, Number{"0x94", true, 148},
                                           Number{"0X1ff", true, 511}, Number{"512", false, 0},
                                           Number{"0x", false, 0}, Number{"1.5", false, 0},
                                           Number{"12 ", false, 0}));

}  // namespace
}  // namespace fuel::cli
