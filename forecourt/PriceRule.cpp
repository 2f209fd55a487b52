#include "forecourt/PriceRule.h"

#include <cmath>
#include <sstream>

namespace fuel::forecourt {
namespace {

// How far from a whole number of hundredths a price may lie and still be one: the error
// of a decimal fraction in binary, never a hundredth's part that someone typed.
constexpr double kBinaryError = 1e-7;

std::string Shown(double price) {
    std::ostringstream text;
    text.precision(15);
    text << price;
    return text.str();
}

}  // namespace

std::optional<std::string> PriceProblem(double price) {
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

double HeldPrice(double price) {
    return std::round(price / kPriceStep) / 100;
}

}  // namespace fuel::forecourt
