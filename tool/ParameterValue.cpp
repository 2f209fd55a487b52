#include "tool/ParameterValue.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "tool/NumberText.h"

namespace fuel::tool {
namespace {

constexpr std::uint8_t kSignBit = 0x80;
constexpr std::uint8_t kGoodLink = 1;
// Type 10 with decimal scale: a read takes the cell's two decimal digits (nibbles up to 15
// each, so at most 15 × 10 + 15) and bit 7 of that number as the sign.
constexpr std::int64_t kSignedLargest = 127;
constexpr std::int64_t kSignedDecimalSmallest = -(15 * 10 + 15 - 128);
constexpr std::int64_t kSignedBinarySmallest = 0;  // a read shows no sign in hexadecimal

std::int64_t CellBase(std::int32_t scale) {
    return IsBinaryScale(scale) ? 256 : 100;
}

std::string TwoDigits(std::int32_t number) {
    return (number < 10 ? "0" : "") + std::to_string(number);
}

std::string Hex(std::int64_t value, int width) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

// A bound in the parameter's own units, as the technician types it.
std::string Bound(const ValueLayout& layout, std::int64_t units, char separator) {
    if (IsBinaryScale(layout.scale)) {
        return (units < 0 ? "-" : "") + Hex(units < 0 ? -units : units, 1);
    }
    return GeneralText(units < 0, static_cast<std::uint64_t>(units < 0 ? -units : units),
                       layout.dec, separator);
}

SplitResult Refuse(std::string error) {
    SplitResult result;
    result.outcome = SplitResult::Outcome::Refused;
    result.error = std::move(error);
    return result;
}

std::string CellsWord(int count) {
    return count == 1 ? "1 ячейку" : std::to_string(count) + " ячейки";
}

SplitResult OutOfRange(const ValueLayout& layout, std::string_view typed, std::int64_t low,
                       std::int64_t high, char separator) {
    return Refuse("Значение " + std::string(typed) + " не помещается в " +
                  CellsWord(CellCount(layout.type)) + " параметра: допустимо от " +
                  Bound(layout, low, separator) + " до " + Bound(layout, high, separator));
}

// The byte whose decimal decoding gives `number` (0..165): tens in the high nibble, as far
// as a nibble goes.
std::uint8_t ByteDecodingTo(std::int64_t number) {
    const std::int64_t high = number / 10 > 15 ? 15 : number / 10;
    return static_cast<std::uint8_t>(high * 16 + (number - high * 10));
}

}  // namespace

ValueLayout LayoutOf(const CParameter& parameter) {
    ValueLayout layout;
    layout.type = parameter.Type;
    layout.scale = parameter.Scale;
    layout.dec = parameter.Dec;
    for (std::size_t i = 0; i < layout.cells.size(); ++i) {
        layout.cells[i] = parameter.Cells[i];
    }
    layout.rom = parameter.PZU;
    layout.readOnly = parameter.ReadOnly;
    return layout;
}

std::int32_t CellAddress(std::uint8_t cell, bool rom) {
    return cell + (rom ? 256 : 0);
}

std::int32_t DecodeCell(std::int32_t byte, std::int32_t scale) {
    return IsBinaryScale(scale) ? byte : (byte / 16) * 10 + byte % 16;
}

std::uint8_t EncodeCell(std::int32_t value, std::int32_t scale) {
    if (IsBinaryScale(scale)) {
        return static_cast<std::uint8_t>(value & 0xFF);
    }
    const std::int32_t lastTwo = value % 100;
    return static_cast<std::uint8_t>((lastTwo / 10) * 16 + lastTwo % 10);
}

std::int32_t ReadCell(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                      std::int32_t cell, std::int32_t scale) {
    return DecodeCell(driver.ReadParameter(channel, address, cell), scale);
}

void WriteCell(TVM30& driver, std::uint32_t channel, std::uint32_t address, std::int32_t cell,
               std::int32_t scale, std::int32_t value) {
    driver.WriteParameter(channel, address, cell, EncodeCell(value, scale));
}

ShownValue DecodeValue(const ValueLayout& layout, const CellBytes& cells, char separator) {
    const std::int64_t base = CellBase(layout.scale);
    bool negative = false;
    std::uint64_t accumulated = 0;
    std::array<std::string, 4> texts;
    for (std::size_t k = 0; k < cells.count; ++k) {
        std::int32_t number = DecodeCell(cells.bytes[k], layout.scale);
        if (k == 0 && layout.type == 10 && (number & kSignBit) != 0) {
            number &= ~kSignBit;
            negative = true;
        }
        texts[k] = TwoDigits(number);
        accumulated =
            accumulated * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(number);
    }
    ShownValue shown;
    shown.cells = cells;
    if (layout.type == 30) {
        shown.text = texts[0] + "." + texts[1] + "." + texts[2];
        shown.lastValue = static_cast<double>(accumulated);
    } else if (IsBinaryScale(layout.scale)) {
        shown.text = Hex(static_cast<std::int64_t>(accumulated), 8);
        shown.lastValue = static_cast<double>(accumulated);
    } else {
        shown.text = GeneralText(negative, accumulated, layout.dec, separator);
        shown.lastValue = static_cast<double>(accumulated) / std::pow(10.0, layout.dec);
        if (negative && accumulated != 0) {
            shown.lastValue = -shown.lastValue;
        }
    }
    return shown;
}

ShownValue ReadValue(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                     const ValueLayout& layout, char separator) {
    CellBytes cells;
    cells.count = static_cast<std::size_t>(CellCount(layout.type));
    bool linkGood = true;
    for (std::size_t k = 0; k < cells.count; ++k) {
        cells.bytes[k] = static_cast<std::uint8_t>(
            driver.ReadParameter(channel, address, CellAddress(layout.cells[k], layout.rom)));
        linkGood = linkGood && driver.GetLinkState(static_cast<std::uint8_t>(channel)) == kGoodLink;
    }
    ShownValue shown = DecodeValue(layout, cells, separator);
    shown.linkGood = linkGood;
    return shown;
}

SplitResult SplitValue(const ValueLayout& layout, std::string_view typed, char separator) {
    // Nothing to write goes before read-only: such a parameter sends nothing and says
    // nothing, whatever its flag.
    const int count = CellCount(layout.type);
    if (layout.type == 30 || count == 0) {
        return SplitResult{};
    }
    if (layout.readOnly) {
        return Refuse(kReadOnlyRefusal);
    }
    const bool binary = IsBinaryScale(layout.scale);
    std::int64_t number = 0;
    if (binary) {
        const auto parsed = ParseHexadecimal(typed);
        if (!parsed) {
            return Refuse("Значение " + std::string(typed) +
                          " не шестнадцатеричное число (параметр хранит байты)");
        }
        number = *parsed;
    } else {
        const ScaledDecimal scaled = ScaleDecimal(typed, layout.dec, separator);
        switch (scaled.problem) {
            case ScaledDecimal::Problem::None:
                break;
            case ScaledDecimal::Problem::NotANumber:
                return Refuse("Значение " + std::string(typed) + " не число");
            case ScaledDecimal::Problem::TooManyDecimals:
                return Refuse("У значения " + std::string(typed) +
                              " больше знаков после запятой, чем у параметра (" +
                              std::to_string(layout.dec) + ")");
            case ScaledDecimal::Problem::TooLarge:
                return Refuse("Значение " + std::string(typed) + " слишком велико");
        }
        number = scaled.value;
    }

    SplitResult result;
    result.outcome = SplitResult::Outcome::Cells;
    result.cells.count = static_cast<std::size_t>(count);
    if (layout.type == 10) {
        const std::int64_t smallest = binary ? kSignedBinarySmallest : kSignedDecimalSmallest;
        if (number < smallest || number > kSignedLargest) {
            return OutOfRange(layout, typed, smallest, kSignedLargest, separator);
        }
        result.cells.bytes[0] = binary ? static_cast<std::uint8_t>(number)
                                       : ByteDecodingTo(number >= 0 ? number : kSignBit - number);
        return result;
    }
    const std::int64_t base = CellBase(layout.scale);
    std::int64_t largest = 1;
    for (int k = 0; k < count; ++k) {
        largest *= base;
    }
    --largest;
    if (number < 0 || number > largest) {
        return OutOfRange(layout, typed, 0, largest, separator);
    }
    for (int k = count - 1; k >= 0; --k) {
        const auto part = static_cast<std::int32_t>(number % base);
        result.cells.bytes[static_cast<std::size_t>(k)] = EncodeCell(part, layout.scale);
        number /= base;
    }
    return result;
}

std::string EntryText(const ValueLayout& layout, double value, char separator) {
    if (IsBinaryScale(layout.scale)) {
        const long long whole = std::llround(value);
        return (whole < 0 ? "-" : "") + Hex(whole < 0 ? -whole : whole, 1);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", layout.dec > 18 ? 18 : int{layout.dec}, value);
    std::string entry = text;
    for (char& c : entry) {
        if (c == '.') {
            c = separator;
        }
    }
    return entry;
}

void WriteCells(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                const ValueLayout& layout, const CellBytes& cells, std::size_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    for (std::size_t k = 0; k < cells.count; ++k) {
        driver.WriteParameter(channel, address, CellAddress(layout.cells[k], layout.rom),
                              cells.bytes[k]);
        if (written != nullptr) {
            ++*written;
        }
    }
}

std::optional<std::int32_t> ReadActiveNozzle(TVM30& driver, std::uint32_t channel,
                                             std::uint32_t address, std::uint8_t cell) {
    if (cell == 0) {
        return std::nullopt;
    }
    return ReadCell(driver, channel, address, CellAddress(cell, false), 0);
}

std::string ActiveNozzleText(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                             std::uint8_t cell) {
    try {
        const auto nozzle = ReadActiveNozzle(driver, channel, address, cell);
        return nozzle ? std::to_string(*nozzle) : "---";
    } catch (const std::exception&) {
        return "???";
    }
}

}  // namespace fuel::tool
