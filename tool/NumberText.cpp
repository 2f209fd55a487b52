#include "tool/NumberText.h"

#include <limits>

namespace fuel::tool {
namespace {

constexpr std::size_t kSignificantDigits = 15;
constexpr std::size_t kMostDigits = 18;  // whatever fits a signed 64-bit number

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Rounds a digit string to `keep` digits, half away from zero; returns whether a carry made
// it one digit longer (the result then still has `keep` digits).
bool RoundDigits(std::string& digits, std::size_t keep) {
    const bool up = digits[keep] >= '5';
    digits.resize(keep);
    if (!up) {
        return false;
    }
    for (std::size_t i = keep; i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return false;
        }
        digits[i] = '0';
    }
    digits.insert(digits.begin(), '1');
    digits.pop_back();
    return true;
}

}  // namespace

std::string GeneralText(bool negative, std::uint64_t magnitude, int decimals, char separator) {
    if (magnitude == 0) {
        return "0";
    }
    std::string digits = std::to_string(magnitude);
    // The value is 0.<digits> × 10^exponent.
    int exponent = static_cast<int>(digits.size()) - decimals;
    if (digits.size() > kSignificantDigits && RoundDigits(digits, kSignificantDigits)) {
        ++exponent;
    }
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }
    std::string text = negative ? "-" : "";
    const auto count = static_cast<int>(digits.size());
    if (exponent > static_cast<int>(kSignificantDigits) || exponent < -4) {
        text += digits[0];
        if (count > 1) {
            text += separator;
            text += digits.substr(1);
        }
        text += "E" + std::to_string(exponent - 1);
    } else if (exponent <= 0) {
        text += "0";
        text += separator;
        text += std::string(static_cast<std::size_t>(-exponent), '0') + digits;
    } else if (exponent >= count) {
        text += digits + std::string(static_cast<std::size_t>(exponent - count), '0');
    } else {
        text += digits.substr(0, static_cast<std::size_t>(exponent));
        text += separator;
        text += digits.substr(static_cast<std::size_t>(exponent));
    }
    return text;
}

ScaledDecimal ScaleDecimal(std::string_view text, int decimals, char separator) {
    using Problem = ScaledDecimal::Problem;
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::string whole;
    std::string fraction;
    bool seenSeparator = false;
    for (const char c : text) {
        if (IsDigit(c)) {
            (seenSeparator ? fraction : whole) += c;
        } else if (c == separator && !seenSeparator) {
            seenSeparator = true;
        } else {
            return {Problem::NotANumber, 0};
        }
    }
    if (whole.empty() && fraction.empty()) {
        return {Problem::NotANumber, 0};
    }
    const auto wanted = static_cast<std::size_t>(decimals < 0 ? 0 : decimals);
    while (fraction.size() > wanted && fraction.back() == '0') {
        fraction.pop_back();
    }
    if (fraction.size() > wanted) {
        return {Problem::TooManyDecimals, 0};
    }
    std::string digits = whole + fraction;
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        return {Problem::None, 0};
    }
    digits.erase(0, first);
    // Zeros that scaling adds count too: a value must fit 18 digits once scaled.
    if (digits.size() + (wanted - fraction.size()) > kMostDigits) {
        return {Problem::TooLarge, 0};
    }
    digits.append(wanted - fraction.size(), '0');
    std::int64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
    }
    return {Problem::None, negative ? -value : value};
}

std::optional<std::int64_t> ParseHexadecimal(std::string_view text) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (!text.empty() && text.front() == '$') {
        text.remove_prefix(1);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        int digit;
        if (IsDigit(c)) {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
    }
    const auto signedValue = static_cast<std::int64_t>(value);
    return negative ? -signedValue : signedValue;
}

}  // namespace fuel::tool
