// Times between PostgreSQL and the API. Written as the API writes every time (RFC 3339 in
// UTC with milliseconds) by the schema's hq_time_text, so that the derived tables' JSON made
// in SQL and the API's own columns come from one formatter; a time the API took
// (http::ParseTime's) is handed to PostgreSQL as milliseconds since the epoch, so that no
// text form of a time on either side matters to the other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "hq/Database.h"
#include "http/Time.h"

namespace fuel::hq {

// The SQL that reads a timestamptz column (or expression) as the API's text.
std::string TimeColumn(std::string_view column);
// The SQL of a parameter, $N, given as Since(): a timestamptz.
std::string TimeParameter(int number);
// A time as that parameter's value.
std::int64_t Since(http::Time time);
// A column that TimeColumn() read ("" for NULL), or null in JSON.
std::string TimeText(const Result& result, int row, int column);
nlohmann::json TimeOrNull(const Result& result, int row, int column);

}  // namespace fuel::hq
