#include "driver/NumberFields.h"

#include <cmath>
#include <limits>

#include "driver/Exceptions.h"

namespace fuel {
namespace {

bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}
bool IsSeparator(std::uint8_t c) {
    return c == ',' || c == '.';
}

}  // namespace

std::int32_t ScaleToUnits(double value, double multiplier) {
    // nearbyint follows the default rounding mode, round-half-even.
    const double units = std::nearbyint(value * multiplier);
    if (!(units >= std::numeric_limits<std::int32_t>::min() &&
          units <= std::numeric_limits<std::int32_t>::max())) {
        throw ERangeError();
    }
    return static_cast<std::int32_t>(units);
}

double FieldScale(bool decimalsMode, std::uint8_t decimals) {
    if (!decimalsMode) {
        return 100.0;
    }
    float scale = 1.0f;
    for (std::uint8_t i = 0; i < decimals; ++i) {
        scale *= 10.0f;
    }
    return scale;
}

void WriteDigits(std::span<std::uint8_t> field, std::int64_t units) {
    for (auto it = field.rbegin(); it != field.rend(); ++it) {
        *it = static_cast<std::uint8_t>('0' + units % 10);
        units /= 10;
    }
}

bool FitsDigits(std::int64_t units, std::size_t digits) {
    std::int64_t limit = 1;
    for (std::size_t i = 0; i < digits; ++i) {
        limit *= 10;
    }
    return units >= 0 && units < limit;
}

void WriteCellByte(std::span<std::uint8_t, 2> out, std::uint8_t value) {
    out[0] = static_cast<std::uint8_t>(0x30 + (value >> 4));
    out[1] = static_cast<std::uint8_t>(0x30 + (value & 0x0F));
}

std::uint8_t ReadCellByte(std::uint8_t high, std::uint8_t low) {
    return static_cast<std::uint8_t>(((high & 0x0F) << 4) | (low & 0x0F));
}

FieldReading ReadSeparatorField(std::span<const std::uint8_t> field) {
    FieldReading reading;
    double divisor = 0;
    for (const std::uint8_t c : field) {
        if (IsSeparator(c)) {
            divisor = 1;
        } else if (IsDigit(c)) {
            reading.value = reading.value * 10 + (c - '0');
            if (divisor > 0) {
                divisor *= 10;
            }
        } else {
            reading.valid = false;
            return reading;
        }
    }
    if (divisor > 0) {
        reading.value /= divisor;
    }
    return reading;
}

FieldReading ReadDigitField(std::span<const std::uint8_t> field) {
    FieldReading reading;
    for (const std::uint8_t c : field) {
        if (!IsDigit(c)) {
            reading.valid = false;
            return reading;
        }
        reading.value = reading.value * 10 + (c - '0');
    }
    return reading;
}

FieldReading ReadPlainField(std::span<const std::uint8_t> field) {
    FieldReading reading;
    bool digitSeen = false;
    for (const std::uint8_t c : field) {
        if (IsDigit(c)) {
            reading.value = reading.value * 10 + (c - '0');
            digitSeen = true;
        } else if (digitSeen) {
            reading.valid = false;
            return reading;
        }
    }
    return reading;
}

std::int64_t ReadUncheckedDigits(std::span<const std::uint8_t> field) {
    std::int64_t value = 0;
    for (const std::uint8_t c : field) {
        value = value * 10 + (std::int64_t{c} - 0x30);
    }
    return value;
}

}  // namespace fuel
