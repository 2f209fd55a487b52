#include "hq/Time.h"

namespace fuel::hq {

std::string TimeColumn(std::string_view column) {
    return "hq_time_text(" + std::string(column) + ")";
}

std::string TimeParameter(int number) {
    return "to_timestamp($" + std::to_string(number) + "::bigint / 1000.0)";
}

std::int64_t Since(http::Time time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string TimeText(const Result& result, int row, int column) {
    return result.OptionalText(row, column).value_or(std::string());
}

nlohmann::json TimeOrNull(const Result& result, int row, int column) {
    const auto text = result.OptionalText(row, column);
    return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

}  // namespace fuel::hq
