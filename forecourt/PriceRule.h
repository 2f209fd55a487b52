// What a unit price must be for the controllers to hold it as it was given: they keep four
// digits of hundredths, so a price is a whole number of hundredths from 0.01 to 99.99. One
// rule for the station's file, the API and the chain's price commands alike.
#pragma once

#include <optional>
#include <string>

namespace fuel::forecourt {

inline constexpr double kPriceStep = 0.01;
inline constexpr double kLowestPrice = 0.01;
inline constexpr double kHighestPrice = 99.99;

// Why the controllers cannot hold the price as it is ("45.678 is not a whole number of
// hundredths ..."); nullopt when they can.
std::optional<std::string> PriceProblem(double price);

// The price as the controllers hold it: the whole number of hundredths, as a double that
// prints and compares as such.
double HeldPrice(double price);

}  // namespace fuel::forecourt
