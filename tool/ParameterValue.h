// A parameter's value and its memory cells: one to four cells read through the driver and
// assembled into the text the technician sees, and a typed value split back into cells,
// checked whole before the first cell is sent. The dialog and the command line share it, and
// it works on explicit inputs: the layout, the channel and address, the driver.
//
// A cell holds a plain byte when the scale is 1 (the value is shown in hexadecimal), and two
// decimal digits otherwise (binary-coded decimal). The first cell is the most significant.
//
// Texts meant for the technician (refusals) are Russian, like the driver's own messages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/TVM30.h"
#include "tool/Catalogue.h"

namespace fuel::tool {

// What reading or writing a value needs to know of its parameter.
struct ValueLayout {
    std::uint8_t type = 0;  // as CParameter::Type: CellCount(type) cells are used
    std::int32_t scale = 0;
    std::uint8_t dec = 0;
    std::array<std::uint8_t, 4> cells{};  // cell numbers, the most significant first
    bool rom = false;                     // ROM cells (the driver's cell number + 256)
    bool readOnly = false;
};
ValueLayout LayoutOf(const CParameter& parameter);

// The cell number the driver takes: ROM cell k is 256 + k.
std::int32_t CellAddress(std::uint8_t cell, bool rom);
// A cell's byte as a number: unchanged when the scale is 1, else its two decimal digits
// (high nibble × 10 + low nibble, whatever the nibbles hold).
std::int32_t DecodeCell(std::int32_t byte, std::int32_t scale);
// The other way: the low byte when the scale is 1, else the last two decimal digits.
std::uint8_t EncodeCell(std::int32_t value, std::int32_t scale);

// One cell through the driver's ReadParameter and WriteParameter, with the encoding above;
// cell is the driver's cell number (CellAddress). The driver's failures pass through
// (ESerialIO "Невозможно считать параметр" / "Невозможно установить параметр").
std::int32_t ReadCell(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                      std::int32_t cell, std::int32_t scale);
void WriteCell(TVM30& driver, std::uint32_t channel, std::uint32_t address, std::int32_t cell,
               std::int32_t scale, std::int32_t value);

// The bytes of a value's cells, as they are in the controller.
struct CellBytes {
    std::array<std::uint8_t, 4> bytes{};
    std::size_t count = 0;
    std::span<const std::uint8_t> View() const { return {bytes.data(), count}; }
    bool operator==(const CellBytes&) const = default;
};

struct ShownValue {
    // As the dialog shows it: type 30 as "05.12.07"; scale 1 as 8 upper-case hexadecimal
    // digits; otherwise the signed value divided by 10^dec in its shortest general form.
    std::string text;
    // The scaled, signed value (decimal scale), the raw assembled number (scale 1, type 30).
    double lastValue = 0;
    CellBytes cells;  // as read
    // False when a read ended with the channel's link state not good: the driver then gives
    // 0 for the cell, and the text shows that 0.
    bool linkGood = true;
};

// Assembles a value from its cells' bytes (cells.count = CellCount(type)). For type 10 bit 7
// of the first cell's number (after decimal decoding) is the sign: cleared, and with decimal
// scale the value is shown negative.
ShownValue DecodeValue(const ValueLayout& layout, const CellBytes& cells, char separator = '.');
// Reads the cells one at a time, the first first, and assembles them.
ShownValue ReadValue(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                     const ValueLayout& layout, char separator = '.');

struct SplitResult {
    enum class Outcome {
        Cells,           // `cells` are to be written
        NothingToWrite,  // type 30 and types without cells: nothing is sent, nothing shown
        Refused          // `error` says why; nothing may be sent
    };
    Outcome outcome = Outcome::NothingToWrite;
    CellBytes cells;
    std::string error;
};

inline constexpr char kReadOnlyRefusal[] = "Параметр только для чтения: записывать его нельзя";

// Turns a typed value into the bytes of its cells, or refuses it. Type 30 and types without
// cells have nothing to write, read-only or not. Decimal scale: a decimal
// number (the separator given) with at most `dec` decimals, scaled exactly by 10^dec. Scale 1:
// a hexadecimal number, unscaled, as a read shows it. Refused: a read-only parameter
// (kReadOnlyRefusal); text
// that is no number; a negative value; a value the cells cannot hold whole (nothing is cut:
// one decimal cell holds 0..99, two 0..9999, one plain cell 0..FF ...). Type 10 is written
// so that a read shows the same value again: decimal scale -37..127 (in units of 10^-dec),
// scale 1 0..7F.
SplitResult SplitValue(const ValueLayout& layout, std::string_view typed, char separator = '.');

// A computed value (the calculator's) as the value field holds it: dec decimals, rounded,
// or a whole hexadecimal number for scale 1. SplitValue reads it back.
std::string EntryText(const ValueLayout& layout, double value, char separator = '.');

// Writes split cells through WriteParameter, the first cell first. An exchange failure raises
// the driver's ESerialIO: the cells before it are written, none after; `written` (when given)
// counts the cells sent.
void WriteCells(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                const ValueLayout& layout, const CellBytes& cells, std::size_t* written = nullptr);

// The controller's active-nozzle cells: a RAM cell with decimal decoding, whatever the
// parameter. Cell 0 reads nothing (nullopt).
std::optional<std::int32_t> ReadActiveNozzle(TVM30& driver, std::uint32_t channel,
                                             std::uint32_t address, std::uint8_t cell);
// The same as the dialog shows it: "---" for cell 0, the number, or "???" when the read
// raised.
std::string ActiveNozzleText(TVM30& driver, std::uint32_t channel, std::uint32_t address,
                             std::uint8_t cell);

}  // namespace fuel::tool
