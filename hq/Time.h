// Times between PostgreSQL and the API: a timestamptz column read as the milliseconds since
// the epoch and written as the API writes every time (http::FormatTime), and a time the API
// took (http::ParseTime's) handed to PostgreSQL the same way, so that neither side's text
// form of a time matters to the other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "hq/Database.h"
#include "http/Time.h"

namespace fuel::hq {

// The SQL that reads a timestamptz column (or expression) as whole milliseconds.
std::string Milliseconds(std::string_view column);
// The SQL of a parameter, $N, given as Since(): a timestamptz.
std::string TimeParameter(int number);
// A time as that parameter's value.
std::int64_t Since(http::Time time);
// A column that Milliseconds() read, as the API's text ("" for NULL), or null in JSON.
std::string TimeText(const Result& result, int row, int column);
nlohmann::json TimeOrNull(const Result& result, int row, int column);

}  // namespace fuel::hq
