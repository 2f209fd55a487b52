// The forecourt as it stands, for readers on any thread: each loop posts its fuel points'
// views here (a state change once its event is committed, fill progress at once) and every
// totaliser it reads, the journal's writer the count of uncleared sales and the grades'
// prices. One short lock;
// nobody waits on a line to read it.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "forecourt/Model.h"

namespace fuel::forecourt {

class Board {
  public:
    // The view's unclearedSales is the board's own count, whatever the view says.
    void SetPoint(FuelPointView view);
    void AddUncleared(int fuelPoint, int delta);
    void SetUncleared(const std::map<int, int>& counts);
    void SetGrade(const Grade& grade);
    void SetTotal(int fuelPoint, int nozzle, const TotalReading& reading);

    std::vector<FuelPointView> Points() const;
    std::optional<FuelPointView> Point(int id) const;
    std::vector<Grade> Grades() const;
    std::optional<Grade> GradeOf(const std::string& code) const;
    // The fuel point's totalisers as last read, by nozzle (none: never read).
    std::map<int, TotalReading> Totals(int fuelPoint) const;

  private:
    mutable std::mutex mutex_;
    std::map<int, FuelPointView> points_;
    std::map<int, int> uncleared_;
    std::map<std::string, Grade> grades_;
    std::vector<std::string> gradeOrder_;
    std::map<std::pair<int, int>, TotalReading> totals_;
};

}  // namespace fuel::forecourt
