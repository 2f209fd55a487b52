// Numbers as the technician reads and types them. Decimal values are handled as digits, never
// as binary fractions, so what is shown and what is typed is exact.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fuel::tool {

// sign × magnitude × 10^-decimals in its shortest general form: at most 15 significant
// digits, no trailing zeros, no thousands separators; fixed notation from 0.00001 up to
// 15 integer digits, otherwise scientific ("1,5E-6" with ',' as the separator).
std::string GeneralText(bool negative, std::uint64_t magnitude, int decimals, char separator);

// A typed decimal number scaled by 10^decimals to a whole number, exactly: "12.34" with 2
// decimals is 1234. Blanks around it are allowed, an optional sign, digits with at most one
// separator.
struct ScaledDecimal {
    enum class Problem { None, NotANumber, TooManyDecimals, TooLarge };
    Problem problem = Problem::None;
    std::int64_t value = 0;
};
ScaledDecimal ScaleDecimal(std::string_view text, int decimals, char separator);

// A typed hexadecimal number, with an optional "$" or "0x" in front; nullopt when it is not
// one or does not fit 63 bits. A leading '-' gives a negative number.
std::optional<std::int64_t> ParseHexadecimal(std::string_view text);

}  // namespace fuel::tool
