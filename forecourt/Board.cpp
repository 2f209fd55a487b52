#include "forecourt/Board.h"

#include <algorithm>

namespace fuel::forecourt {

void Board::SetPoint(FuelPointView view) {
    std::lock_guard lock(mutex_);
    view.unclearedSales = uncleared_[view.id];
    points_[view.id] = std::move(view);
}

void Board::AddUncleared(int fuelPoint, int delta) {
    std::lock_guard lock(mutex_);
    const int count = std::max(0, uncleared_[fuelPoint] + delta);
    uncleared_[fuelPoint] = count;
    if (const auto found = points_.find(fuelPoint); found != points_.end()) {
        found->second.unclearedSales = count;
    }
}

void Board::SetUncleared(const std::map<int, int>& counts) {
    std::lock_guard lock(mutex_);
    uncleared_ = counts;
    for (auto& [id, point] : points_) {
        point.unclearedSales = uncleared_[id];
    }
}

void Board::SetGrade(const Grade& grade) {
    std::lock_guard lock(mutex_);
    if (grades_.find(grade.code) == grades_.end())
        gradeOrder_.push_back(grade.code);
    grades_[grade.code] = grade;
}

void Board::SetTotal(int fuelPoint, int nozzle, const TotalReading& reading) {
    std::lock_guard lock(mutex_);
    totals_[{fuelPoint, nozzle}] = reading;
}

std::map<int, TotalReading> Board::Totals(int fuelPoint) const {
    std::lock_guard lock(mutex_);
    std::map<int, TotalReading> totals;
    for (auto it = totals_.lower_bound({fuelPoint, 0});
         it != totals_.end() && it->first.first == fuelPoint; ++it) {
        totals[it->first.second] = it->second;
    }
    return totals;
}

std::vector<FuelPointView> Board::Points() const {
    std::lock_guard lock(mutex_);
    std::vector<FuelPointView> points;
    points.reserve(points_.size());
    for (const auto& [id, point] : points_) {
        points.push_back(point);
    }
    return points;
}

std::optional<FuelPointView> Board::Point(int id) const {
    std::lock_guard lock(mutex_);
    const auto found = points_.find(id);
    if (found == points_.end())
        return std::nullopt;
    return found->second;
}

std::vector<Grade> Board::Grades() const {
    std::lock_guard lock(mutex_);
    std::vector<Grade> grades;
    for (const std::string& code : gradeOrder_) {
        grades.push_back(grades_.at(code));
    }
    return grades;
}

std::optional<Grade> Board::GradeOf(const std::string& code) const {
    std::lock_guard lock(mutex_);
    const auto found = grades_.find(code);
    if (found == grades_.end())
        return std::nullopt;
    return found->second;
}

}  // namespace fuel::forecourt
