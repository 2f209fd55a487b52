// One line of the driver's trace: a time stamp, the kind of event, positional words and
// key=value fields, e.g.
//
//   2026-12-08T10:15:30.123456Z call 7 StartPump ch=1 disp=3 nozzle=1
//
// Values are kept as their text; numbers are decimal, bytes are hexadecimal digits without
// spaces, and a text value that holds a blank, a quote or a control character is written in
// double quotes with backslash escapes. Text is UTF-8. The file's first line names the format
// version (kTraceFormat), so that a reader can refuse a newer one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace fuel {

inline constexpr int kTraceFormat = 1;

// Microseconds since 1970-01-01 00:00 UTC.
using TraceStamp = std::int64_t;

// A line, or a field of one, that is not what the format says; the message names the field.
class TraceFormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TraceEvent {
    TraceStamp time = 0;
    std::string kind;
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> fields;

    TraceEvent() = default;
    TraceEvent(TraceStamp t, std::string_view k) : time(t), kind(k) {}

    // ---- Building.
    TraceEvent& Word(std::string_view word);
    TraceEvent& With(std::string_view key, std::string_view text);
    TraceEvent& With(std::string_view key, const char* text) {
        return With(key, std::string_view(text));
    }
    TraceEvent& With(std::string_view key, const std::string& text) {
        return With(key, std::string_view(text));
    }
    TraceEvent& With(std::string_view key, double value);
    template <typename T>
    requires std::is_integral_v<T> TraceEvent& With(std::string_view key, T value) {
        if constexpr (std::is_same_v<T, bool>) {
            return With(key, std::string_view(value ? "1" : "0"));
        } else if constexpr (std::is_signed_v<T>) {
            return With(key, std::string_view(std::to_string(static_cast<long long>(value))));
        } else {
            return With(key,
                        std::string_view(std::to_string(static_cast<unsigned long long>(value))));
        }
    }
    TraceEvent& WithHex(std::string_view key, std::span<const std::uint8_t> bytes);

    // ---- Reading. Each throws TraceFormatError naming the key when the field is missing or
    // does not hold what is asked for.
    const std::string* Find(std::string_view key) const;
    bool Has(std::string_view key) const { return Find(key) != nullptr; }
    const std::string& Text(std::string_view key) const;
    std::int64_t Integer(std::string_view key, std::int64_t low, std::int64_t high) const;
    double Real(std::string_view key) const;
    std::vector<std::uint8_t> Hex(std::string_view key) const;
    // Positional word i, or a TraceFormatError naming what it should have been.
    const std::string& WordAt(std::size_t i, std::string_view what) const;
};

// The line without its end-of-line.
std::string FormatTraceLine(const TraceEvent& event);
// Reads one line (a trailing "\r" is ignored); throws TraceFormatError.
TraceEvent ParseTraceLine(std::string_view line);

// "2026-12-08T10:15:30.123456Z"
std::string FormatStamp(TraceStamp stamp);
std::optional<TraceStamp> ParseStamp(std::string_view text);

// The shortest text that reads back as the same double.
std::string RealText(double value);
std::optional<double> ParseReal(std::string_view text);
std::optional<std::int64_t> ParseWhole(std::string_view text);

// "4801750345"; upper-case digits, two a byte; "-" for no bytes.
std::string HexText(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);

}  // namespace fuel
