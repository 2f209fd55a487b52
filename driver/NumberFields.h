// The number encodings of the line: fixed-width decimal digit fields in requests, the two
// kinds of number field in replies, and memory cells as two characters 0x30 + nibble.
#pragma once

#include <cstdint>
#include <span>

namespace fuel {

// value × multiplier to the nearest integer, halves to the even neighbour. A result outside
// the signed 32-bit range (or not a number at all) is a range error.
std::int32_t ScaleToUnits(double value, double multiplier);

// The controller's scale for a field: 10 to the power decimals (in single precision, as the
// controllers' own firmware tables are) for the modes that carry their decimals, else 100.
double FieldScale(bool decimalsMode, std::uint8_t decimals);

// Writes the low field.size() decimal digits of a non-negative units value, most
// significant first; higher digits are dropped.
void WriteDigits(std::span<std::uint8_t> field, std::int64_t units);

// True when units fits a field of that many digits and is not negative.
bool FitsDigits(std::int64_t units, std::size_t digits);

// A cell or value byte as the two characters 0x30 + high nibble, 0x30 + low nibble.
void WriteCellByte(std::span<std::uint8_t, 2> out, std::uint8_t value);
// Only the low four bits of each character count, so '5' and 'E' both mean 5.
std::uint8_t ReadCellByte(std::uint8_t high, std::uint8_t low);

struct FieldReading {
    double value = 0;
    bool valid = true;  // false: a character the field may not hold; value has what came before
};

// Digits with a ',' or '.' separator: each digit after a separator adds a decimal place, a
// second separator starts the places again. A field without any separator reads as the
// whole number of its digits. Any other character ends the reading, invalid.
FieldReading ReadSeparatorField(std::span<const std::uint8_t> field);

// Digits only, an integer (the caller divides by the field's scale). Any other character
// ends the reading, invalid.
FieldReading ReadDigitField(std::span<const std::uint8_t> field);

// Digits, right-aligned: anything before the first digit (the controllers pad with blanks)
// is skipped. A non-digit after a digit cannot be part of any number the field holds, so it
// makes the reading invalid instead of silently starting the number again.
FieldReading ReadPlainField(std::span<const std::uint8_t> field);

// Every byte taken as a digit (its value minus 0x30), without a check.
std::int64_t ReadUncheckedDigits(std::span<const std::uint8_t> field);

}  // namespace fuel
