#include "hq/Time.h"

namespace fuel::hq {

std::string Milliseconds(std::string_view column) {
    return "floor(extract(epoch FROM " + std::string(column) + ") * 1000)::bigint";
}

std::string TimeParameter(int number) {
    return "to_timestamp($" + std::to_string(number) + "::bigint / 1000.0)";
}

std::int64_t Since(http::Time time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string TimeText(const Result& result, int row, int column) {
    const auto milliseconds = result.OptionalInteger(row, column);
    if (!milliseconds)
        return {};
    return http::FormatTime(http::Time(std::chrono::milliseconds(*milliseconds)));
}

nlohmann::json TimeOrNull(const Result& result, int row, int column) {
    const std::string text = TimeText(result, row, column);
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

}  // namespace fuel::hq
