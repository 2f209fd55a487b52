// A grade's price bounds: the lowest and highest price a campaign may set without a second
// person's approval, and the largest change from a station's current price. They come from
// hq.ini's [bounds] section (a grade's own keys over those of "*", every grade) or from an
// administrator through the API; an administrator's setting, kept in price_bounds, replaces
// the configuration's for that grade whole. The rules here are plain functions of the bounds
// and the prices, so that the API's check (a dry run), a campaign's creation and the tests
// all ask the same question.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hq/Database.h"

namespace fuel::hq {

// Each bound may be absent: no such bound.
struct Limits {
    std::optional<double> lowest;
    std::optional<double> highest;
    std::optional<double> largestChange;
    bool operator==(const Limits&) const = default;
};

// What is wrong with a set of bounds (lowest above highest, a bound not above 0), for the
// configuration's and the API's refusals alike; nullopt when they can be used.
std::optional<std::string> LimitsProblem(const Limits& limits);

inline constexpr char kEveryGrade[] = "*";

// The configuration's bounds, by grade ("*" for every grade).
struct ConfiguredBounds {
    std::map<std::string, Limits> grades;
    // A grade's: its own keys, and those of "*" where it has none.
    Limits For(const std::string& grade) const;
};

// A grade's bounds as they apply, and where they come from.
struct GradeBounds {
    std::string grade;
    Limits limits;
    std::string source = "configuration";  // or "admin"
    std::optional<std::string> setBy;
    std::optional<std::string> setAt;  // RFC 3339
};
nlohmann::json ToJson(const GradeBounds& bounds);

GradeBounds BoundsOf(Connection& connection, const ConfiguredBounds& configured,
                     const std::string& grade);
// Every grade that has bounds, or that a station sells, by grade.
std::vector<GradeBounds> AllBounds(Connection& connection, const ConfiguredBounds& configured);
// An administrator's bounds for the grade (LimitsProblem checked by the caller).
GradeBounds SetBounds(Connection& connection, const ConfiguredBounds& configured,
                      const std::string& grade, const Limits& limits, const std::string& who);

namespace bound {
inline constexpr char kLowest[] = "lowest";
inline constexpr char kHighest[] = "highest";
inline constexpr char kLargestChange[] = "largest-change";
}  // namespace bound

// A bound a campaign's price breaks: for largest-change at one station, with its price.
struct BrokenBound {
    std::string bound;
    double limit = 0;
    std::optional<std::string> station;
    std::optional<double> current;
    std::string message;
};
nlohmann::json ToJson(const BrokenBound& broken);

// The bounds `price` breaks for `grade` at stations whose current prices are these (a
// station without a known price breaks no largest-change). Lowest and highest once each,
// then largest-change by station.
std::vector<BrokenBound> BrokenBounds(const std::string& grade, const Limits& limits, double price,
                                      const std::map<std::string, std::optional<double>>& current);

}  // namespace fuel::hq
