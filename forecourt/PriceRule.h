// What a unit price must be for the controllers to hold it as it was given: they keep four
// digits of hundredths, so a price is a whole number of hundredths from 0.01 to 99.99. One
// rule for the station's file, the API, the chain's price commands and the head office's
// campaigns alike: the rule alone, with nothing of the forecourt behind it, so that the head
// office reads it without the station's code.
#pragma once

#include <cmath>
#include <optional>
#include <sstream>
#include <string>

namespace fuel::forecourt {

inline constexpr double kPriceStep = 0.01;
inline constexpr double kLowestPrice = 0.01;
inline constexpr double kHighestPrice = 99.99;

namespace price_rule_detail {
// How far from a whole number of hundredths a price may lie and still be one: the error
// of a decimal fraction in binary, never a hundredth's part that someone typed.
inline constexpr double kBinaryError = 1e-7;

inline std::string Shown(double price) {
    std::ostringstream text;
    text.precision(15);
    text << price;
    return text.str();
}
}  // namespace price_rule_detail

// Why the controllers cannot hold the price as it is ("45.678 is not a whole number of
// hundredths ..."); nullopt when they can.
inline std::optional<std::string> PriceProblem(double price) {
    using price_rule_detail::kBinaryError;
    using price_rule_detail::Shown;
    if (!std::isfinite(price) || price < kLowestPrice - kBinaryError ||
        price > kHighestPrice + kBinaryError) {
        return "a price is from 0.01 to 99.99 (four digits of hundredths), not " + Shown(price);
    }
    const double hundredths = price / kPriceStep;
    if (std::fabs(hundredths - std::round(hundredths)) > kBinaryError * 100) {
        return Shown(price) + " is not a whole number of hundredths, the controllers' price step";
    }
    return std::nullopt;
}

// The price as the controllers hold it: the whole number of hundredths, as a double that
// prints and compares as such.
inline double HeldPrice(double price) {
    return std::round(price / kPriceStep) / 100;
}

}  // namespace fuel::forecourt
