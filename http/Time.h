// Times as the daemons' APIs and the station's journal write them: RFC 3339 in UTC with
// milliseconds, and read back strictly (a real calendar date, the clock's own range where it
// cannot carry one). One reader for every "date-time" a client sends either daemon.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace fuel::http {

using Time = std::chrono::system_clock::time_point;

// "2024-05-01T10:00:00.123Z"; and back (nullopt when the text is not one).
std::string FormatTime(Time time);
std::optional<Time> ParseTime(std::string_view text);

}  // namespace fuel::http
