// The prices the controllers can hold as given: whole hundredths from 0.01 to 99.99.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "forecourt/PriceRule.h"

namespace fuel::forecourt {
namespace {

struct PriceCase {
    const char* name;
    double price;
    bool held;  // the controllers hold it exactly
};

class PriceRuleTest : public ::testing::TestWithParam<PriceCase> {};

TEST_P(PriceRuleTest, HoldsWholeHundredthsInRangeOnly) {
    const PriceCase& c = GetParam();
    EXPECT_EQ(!PriceProblem(c.price).has_value(), c.held) << c.price;
    if (c.held) {
        EXPECT_DOUBLE_EQ(HeldPrice(c.price), std::round(c.price * 100) / 100);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Prices, PriceRuleTest,
    ::testing::Values(
        PriceCase{"TheSmallestStep", 0.01, true}, PriceCase{"TheLargestStep", 99.99, true},
        PriceCase{"AnOrdinaryOne", 45.68, true}, PriceCase{"ASumWithBinaryError", 0.1 + 0.2, true},
        PriceCase{"OneStepOver", 100.00, false}, PriceCase{"BelowTheSmallestStep", 0.004, false},
        PriceCase{"ThousandthsOfAStep", 45.678, false}, PriceCase{"Tiny", 1e-300, false},
        PriceCase{"Zero", 0, false}, PriceCase{"Negative", -45.67, false},
        PriceCase{"NotANumber", std::numeric_limits<double>::quiet_NaN(), false},
        PriceCase{"Infinite", std::numeric_limits<double>::infinity(), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PriceRuleTest, SaysWhyInWords) {
    EXPECT_EQ(PriceProblem(45.678).value_or(""),
              "45.678 is not a whole number of hundredths, the controllers' price step");
    EXPECT_EQ(PriceProblem(0.004).value_or(""),
              "a price is from 0.01 to 99.99 (four digits of hundredths), not 0.004");
}

}  // namespace
}  // namespace fuel::forecourt
