#include "http/Time.h"

#include <cstdio>
#include <ctime>

namespace fuel::http {

std::string FormatTime(Time time) {
    using namespace std::chrono;
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    auto seconds = duration_cast<std::chrono::seconds>(milliseconds);
    auto rest = milliseconds - seconds;
    if (rest.count() < 0) {
        seconds -= std::chrono::seconds(1);
        rest += std::chrono::seconds(1);
    }
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    const int year = utc.tm_year + 1900;
    char text[64];
    if (year < 0 || year > 9999) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                      static_cast<int>(rest.count()));
        return text;
    }
    // Digit by digit: every sale in a list has five of these, and printf costs more than the
    // rest of the sale's text together.
    std::string out = "0000-00-00T00:00:00.000Z";
    const auto put = [&out](std::size_t at, int value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            out[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(0, year, 4);
    put(5, utc.tm_mon + 1, 2);
    put(8, utc.tm_mday, 2);
    put(11, utc.tm_hour, 2);
    put(14, utc.tm_min, 2);
    put(17, utc.tm_sec, 2);
    put(20, static_cast<int>(rest.count()), 3);
    return out;
}

std::optional<Time> ParseTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS, optional fraction, then Z or +HH:MM / -HH:MM.
    const auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
        if (at + count > text.size())
            return std::nullopt;
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2), hour = digits(11, 2),
               minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text.size() < 20 ||
        text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != 't') ||
        text[13] != ':' || text[16] != ':' || *month < 1 || *month > 12 || *day < 1 || *day > 31 ||
        *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    std::size_t at = 19;
    long long milliseconds = 0;
    if (text[at] == '.') {
        ++at;
        int scale = 100;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            milliseconds += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == first)
            return std::nullopt;
    }
    int offsetMinutes = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const auto offsetHour = digits(at + 1, 2), offsetMinute = digits(at + 4, 2);
        if (!offsetHour || !offsetMinute || at + 6 > text.size() || text[at + 3] != ':') {
            return std::nullopt;
        }
        offsetMinutes = (*offsetHour * 60 + *offsetMinute) * (text[at] == '-' ? -1 : 1);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size())
        return std::nullopt;
    using namespace std::chrono;
    // A real calendar date (no 30 February), in years 0001..9999; one that the clock's
    // nanoseconds cannot carry (before 1677, after 2262) is taken as the clock's first or
    // last instant, so that "from 9999" finds nothing rather than wrapping round.
    const year_month_day date{std::chrono::year(*year),
                              std::chrono::month(static_cast<unsigned>(*month)),
                              std::chrono::day(static_cast<unsigned>(*day))};
    if (*year < 1 || !date.ok())
        return std::nullopt;
    const auto time = sys_days(date) + hours(*hour) + minutes(*minute - offsetMinutes) +
                      seconds(*second) + std::chrono::milliseconds(milliseconds);
    const auto earliest = time_point_cast<std::chrono::milliseconds>(Time::min()) + 1ms;
    const auto latest = time_point_cast<std::chrono::milliseconds>(Time::max()) - 1ms;
    if (time < earliest)
        return Time::min();
    if (time > latest)
        return Time::max();
    return time_point_cast<Time::duration>(time);
}

}  // namespace fuel::http
