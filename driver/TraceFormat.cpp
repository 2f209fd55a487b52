#include "driver/TraceFormat.h"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace fuel {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A value is written bare unless a reader could not find its end or would change it.
bool NeedsQuotes(std::string_view text) {
    if (text.empty()) {
        return true;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '"') {
            return true;
        }
    }
    return false;
}

void AppendQuoted(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\x";
                    out += kDigits[byte >> 4];
                    out += kDigits[byte & 0x0F];
                } else {
                    out += c;  // UTF-8 passes as it is
                }
        }
    }
    out += '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads a quoted value starting at text[at] == '"'; at ends past the closing quote.
std::string ReadQuoted(std::string_view text, std::size_t& at) {
    std::string value;
    ++at;
    while (true) {
        if (at >= text.size()) {
            throw TraceFormatError("a quoted value has no closing quote");
        }
        const char c = text[at++];
        if (c == '"') {
            return value;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (at >= text.size()) {
            throw TraceFormatError("a quoted value ends in a lone backslash");
        }
        const char e = text[at++];
        switch (e) {
            case '"':
            case '\\':
                value += e;
                break;
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            case 'x': {
                const int high = at < text.size() ? HexDigit(text[at]) : -1;
                const int low = at + 1 < text.size() ? HexDigit(text[at + 1]) : -1;
                if (high < 0 || low < 0) {
                    throw TraceFormatError("a quoted value has a \\x without two hex digits");
                }
                value += static_cast<char>((high << 4) | low);
                at += 2;
                break;
            }
            default:
                throw TraceFormatError(std::string("a quoted value has an unknown escape \\") + e);
        }
    }
}

bool IsPlainName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!plain) {
            return false;
        }
    }
    return true;
}

std::string Shown(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string shown(text.substr(0, kShown));
    if (text.size() > kShown) {
        shown += "...";
    }
    return "'" + shown + "'";
}

}  // namespace

TraceEvent& TraceEvent::Word(std::string_view word) {
    words.emplace_back(word);
    return *this;
}

TraceEvent& TraceEvent::With(std::string_view key, std::string_view text) {
    fields.emplace_back(std::string(key), std::string(text));
    return *this;
}

TraceEvent& TraceEvent::With(std::string_view key, double value) {
    return With(key, std::string_view(RealText(value)));
}

TraceEvent& TraceEvent::WithHex(std::string_view key, std::span<const std::uint8_t> bytes) {
    return With(key, std::string_view(HexText(bytes)));
}

const std::string* TraceEvent::Find(std::string_view key) const {
    for (const auto& [name, value] : fields) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

const std::string& TraceEvent::Text(std::string_view key) const {
    const std::string* value = Find(key);
    if (value == nullptr) {
        throw TraceFormatError("no field '" + std::string(key) + "' in the '" + kind + "' event");
    }
    return *value;
}

std::int64_t TraceEvent::Integer(std::string_view key, std::int64_t low, std::int64_t high) const {
    const std::string& text = Text(key);
    const auto value = ParseWhole(text);
    if (!value || *value < low || *value > high) {
        throw TraceFormatError("field '" + std::string(key) + "' should be a whole number from " +
                               std::to_string(low) + " to " + std::to_string(high) + ", not " +
                               Shown(text));
    }
    return *value;
}

double TraceEvent::Real(std::string_view key) const {
    const std::string& text = Text(key);
    const auto value = ParseReal(text);
    if (!value) {
        throw TraceFormatError("field '" + std::string(key) + "' should be a number, not " +
                               Shown(text));
    }
    return *value;
}

std::vector<std::uint8_t> TraceEvent::Hex(std::string_view key) const {
    const std::string& text = Text(key);
    auto bytes = ParseHex(text);
    if (!bytes) {
        throw TraceFormatError("field '" + std::string(key) +
                               "' should be bytes in hex, two digits each, not " + Shown(text));
    }
    return std::move(*bytes);
}

const std::string& TraceEvent::WordAt(std::size_t i, std::string_view what) const {
    if (i >= words.size()) {
        throw TraceFormatError("the '" + kind + "' event has no " + std::string(what));
    }
    return words[i];
}

std::string FormatTraceLine(const TraceEvent& event) {
    std::string line = FormatStamp(event.time);
    line += ' ';
    line += event.kind;
    for (const std::string& word : event.words) {
        line += ' ';
        line += word;
    }
    for (const auto& [key, value] : event.fields) {
        line += ' ';
        line += key;
        line += '=';
        if (NeedsQuotes(value)) {
            AppendQuoted(line, value);
        } else {
            line += value;
        }
    }
    return line;
}

TraceEvent ParseTraceLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    std::size_t at = 0;
    const auto skipBlanks = [&] {
        while (at < line.size() && IsBlank(line[at])) {
            ++at;
        }
    };
    const auto token = [&] {
        const std::size_t start = at;
        while (at < line.size() && !IsBlank(line[at])) {
            ++at;
        }
        return line.substr(start, at - start);
    };

    TraceEvent event;
    skipBlanks();
    const std::string_view stamp = token();
    if (stamp.empty()) {
        throw TraceFormatError("an empty line");
    }
    const auto time = ParseStamp(stamp);
    if (!time) {
        throw TraceFormatError("no time stamp at the start of the line, but " + Shown(stamp));
    }
    event.time = *time;
    skipBlanks();
    const std::string_view kind = token();
    if (!IsPlainName(kind)) {
        throw TraceFormatError(kind.empty() ? "no event after the time stamp"
                                            : "no event name, but " + Shown(kind));
    }
    event.kind = kind;

    while (true) {
        skipBlanks();
        if (at >= line.size()) {
            break;
        }
        std::size_t end = at;
        while (end < line.size() && !IsBlank(line[end]) && line[end] != '=' && line[end] != '"') {
            ++end;
        }
        if (end < line.size() && line[end] == '=') {
            const std::string_view key = line.substr(at, end - at);
            if (!IsPlainName(key)) {
                throw TraceFormatError("a field without a name: " + Shown(line.substr(at)));
            }
            at = end + 1;
            std::string value;
            if (at < line.size() && line[at] == '"') {
                value = ReadQuoted(line, at);
                if (at < line.size() && !IsBlank(line[at])) {
                    throw TraceFormatError("field '" + std::string(key) +
                                           "' runs on after its closing quote");
                }
            } else {
                value = std::string(token());
            }
            event.fields.emplace_back(std::string(key), std::move(value));
            continue;
        }
        const std::string_view word = token();
        if (word.find('"') != std::string_view::npos) {
            throw TraceFormatError("a stray quote in " + Shown(word));
        }
        event.words.emplace_back(word);
    }
    return event;
}

std::string FormatStamp(TraceStamp stamp) {
    using namespace std::chrono;
    const sys_time<microseconds> point{microseconds{stamp}};
    const auto day = floor<days>(point);
    const year_month_day date{day};
    const hh_mm_ss<microseconds> time{point - day};
    char text[48];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::optional<TraceStamp> ParseStamp(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.f...]Z, up to six fraction digits.
    if (text.size() < 20 || text.back() != 'Z') {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t digits) -> int {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return -1;
            }
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    const int year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60) {
        return std::nullopt;
    }
    std::int64_t micros = 0;
    const std::string_view rest = text.substr(19, text.size() - 20);
    if (!rest.empty()) {
        if (rest[0] != '.' || rest.size() < 2 || rest.size() > 7) {
            return std::nullopt;
        }
        const int fraction = number(20, rest.size() - 1);
        if (fraction < 0) {
            return std::nullopt;
        }
        micros = fraction;
        for (std::size_t digits = rest.size() - 1; digits < 6; ++digits) {
            micros *= 10;
        }
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                              std::chrono::day{unsigned(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const sys_days days{date};
    const auto point = days + hours{hour} + minutes{minute} + seconds{second};
    return duration_cast<microseconds>(point.time_since_epoch()).count() + micros;
}

std::string RealText(double value) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    if (error != std::errc()) {
        return "nan";
    }
    return std::string(text, end);
}

std::optional<double> ParseReal(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> ParseWhole(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (bytes.empty()) {
        return "-";  // no bytes at all, and still one word
    }
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text) {
    if (text == "-") {
        return std::vector<std::uint8_t>{};  // no bytes at all
    }
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>((high << 4) | low));
    }
    return bytes;
}

}  // namespace fuel
