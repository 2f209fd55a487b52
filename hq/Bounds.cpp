#include "hq/Bounds.h"

#include <cmath>
#include <cstdio>
#include <set>

namespace fuel::hq {
namespace {

// Prices and bounds are money: compared in hundredths, so that 1.1 - 1.0 is no more than a
// bound of 0.10 because of binary fractions.
constexpr double kSlack = 1e-9;

std::string Money(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

nlohmann::json OrNull(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json OrNull(const std::optional<std::string>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::optional<double> Number(const Result& result, int row, int column) {
    if (result.IsNull(row, column))
        return std::nullopt;
    return result.Number(row, column);
}

}  // namespace

std::optional<std::string> LimitsProblem(const Limits& limits) {
    for (const auto& [name, value] :
         {std::pair{"lowest", limits.lowest}, std::pair{"highest", limits.highest},
          std::pair{"largest change", limits.largestChange}}) {
        if (value && !(std::isfinite(*value) && *value > 0))
            return std::string("the ") + name + " must be above 0, not " + Money(*value);
    }
    if (limits.lowest && limits.highest && *limits.lowest > *limits.highest + kSlack) {
        return "the lowest price " + Money(*limits.lowest) + " is above the highest " +
               Money(*limits.highest);
    }
    return std::nullopt;
}

Limits ConfiguredBounds::For(const std::string& grade) const {
    Limits limits;
    const auto every = grades.find(kEveryGrade);
    if (every != grades.end())
        limits = every->second;
    const auto own = grades.find(grade);
    if (own != grades.end()) {
        if (own->second.lowest)
            limits.lowest = own->second.lowest;
        if (own->second.highest)
            limits.highest = own->second.highest;
        if (own->second.largestChange)
            limits.largestChange = own->second.largestChange;
    }
    return limits;
}

nlohmann::json ToJson(const GradeBounds& bounds) {
    return {{"grade", bounds.grade},
            {"lowest", OrNull(bounds.limits.lowest)},
            {"highest", OrNull(bounds.limits.highest)},
            {"largestChange", OrNull(bounds.limits.largestChange)},
            {"source", bounds.source},
            {"setBy", OrNull(bounds.setBy)},
            {"setAt", OrNull(bounds.setAt)}};
}

GradeBounds BoundsOf(Connection& connection, const ConfiguredBounds& configured,
                     const std::string& grade) {
    const Result row = connection.Exec(
        "SELECT lowest::float8, highest::float8, largest_change::float8, set_by, "
        "hq_time_text(set_at) FROM price_bounds WHERE grade = $1",
        {grade});
    GradeBounds bounds;
    bounds.grade = grade;
    if (row.Rows() == 0) {
        bounds.limits = configured.For(grade);
        return bounds;
    }
    bounds.limits = {Number(row, 0, 0), Number(row, 0, 1), Number(row, 0, 2)};
    bounds.source = "admin";
    bounds.setBy = row.OptionalText(0, 3);
    bounds.setAt = row.OptionalText(0, 4);
    return bounds;
}

std::vector<GradeBounds> AllBounds(Connection& connection, const ConfiguredBounds& configured) {
    std::set<std::string> grades;
    for (const auto& [grade, limits] : configured.grades) {
        if (grade != kEveryGrade)
            grades.insert(grade);
    }
    const Result known = connection.Exec(
        "SELECT grade FROM price_bounds UNION SELECT grade FROM prices "
        "UNION SELECT g ->> 'code' FROM stations, jsonb_array_elements("
        "CASE WHEN jsonb_typeof(info -> 'grades') = 'array' THEN info -> 'grades' "
        "ELSE '[]' END) g WHERE g ->> 'code' IS NOT NULL");
    for (int row = 0; row < known.Rows(); ++row)
        grades.emplace(known.Text(row, 0));
    std::vector<GradeBounds> all;
    for (const std::string& grade : grades)
        all.push_back(BoundsOf(connection, configured, grade));
    return all;
}

GradeBounds SetBounds(Connection& connection, const ConfiguredBounds& configured,
                      const std::string& grade, const Limits& limits, const std::string& who) {
    connection.Exec(
        "INSERT INTO price_bounds (grade, lowest, highest, largest_change, set_by) "
        "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (grade) DO UPDATE SET lowest = $2, "
        "highest = $3, largest_change = $4, set_by = $5, set_at = now()",
        {grade, limits.lowest, limits.highest, limits.largestChange, who});
    return BoundsOf(connection, configured, grade);
}

nlohmann::json ToJson(const BrokenBound& broken) {
    nlohmann::json json = {
        {"bound", broken.bound}, {"limit", broken.limit}, {"message", broken.message}};
    if (broken.station)
        json["station"] = *broken.station;
    if (broken.current)
        json["current"] = *broken.current;
    return json;
}

std::vector<BrokenBound> BrokenBounds(const std::string& grade, const Limits& limits, double price,
                                      const std::map<std::string, std::optional<double>>& current) {
    std::vector<BrokenBound> broken;
    const std::string of = " of grade " + grade;
    if (limits.lowest && price < *limits.lowest - kSlack) {
        broken.push_back(
            {bound::kLowest, *limits.lowest, std::nullopt, std::nullopt,
             Money(price) + " is below the lowest price" + of + ", " + Money(*limits.lowest)});
    }
    if (limits.highest && price > *limits.highest + kSlack) {
        broken.push_back(
            {bound::kHighest, *limits.highest, std::nullopt, std::nullopt,
             Money(price) + " is above the highest price" + of + ", " + Money(*limits.highest)});
    }
    if (limits.largestChange) {
        for (const auto& [station, now] : current) {
            if (!now)
                continue;
            const double change = std::fabs(price - *now);
            if (change > *limits.largestChange + kSlack) {
                broken.push_back({bound::kLargestChange, *limits.largestChange, station, *now,
                                  "at " + station + " " + Money(price) + " is " + Money(change) +
                                      " from its price " + Money(*now) +
                                      ", more than the largest change" + of + ", " +
                                      Money(*limits.largestChange)});
            }
        }
    }
    return broken;
}

}  // namespace fuel::hq
