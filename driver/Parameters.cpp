// Single memory cells of a controller, in RAM (cells 0..255) and ROM (256 + k is ROM cell k).
// The first request byte is the controller's bus address as the caller gives it.
#include "driver/NumberFields.h"
#include "driver/TVM30.h"

namespace fuel {
namespace {

constexpr std::uint8_t kMarkedLayout = 0xF2;

// Bytes travel as bytes: an address, channel or value that does not fit one is out of range.
std::uint8_t AsByte(std::int64_t value) {
    CheckedArray<int, 0, 255>::Check(value);
    return static_cast<std::uint8_t>(value);
}

// The low byte of the cell number, from the remainder of the signed division.
std::uint8_t CellByte(std::int32_t cell) {
    return AsByte(cell % 256);
}

}  // namespace

std::int32_t TVM30::ReadParameter(std::uint32_t channel, std::uint32_t address, std::int32_t cell) {
    const std::uint8_t line = AsByte(channel);
    CommandBuffer buffer{};
    buffer[0] = AsByte(address);
    buffer[1] = cell < 256 ? 'X' : 'Y';
    WriteCellByte(std::span(buffer).subspan<2, 2>(), CellByte(cell));
    if (Exchange(line, buffer, 4, 11) != 0) {
        throw ESerialIO("Невозможно считать параметр");
    }
    if (LinkState[line] != link_state::kGood) {
        return 0;
    }
    return buffer[4] == kMarkedLayout ? ReadCellByte(buffer[7], buffer[8])
                                      : ReadCellByte(buffer[5], buffer[6]);
}

std::int32_t TVM30::WriteParameter(std::uint32_t channel, std::uint32_t address, std::int32_t cell,
                                   std::int32_t value) {
    const std::uint8_t line = AsByte(channel);
    CommandBuffer buffer{};
    buffer[0] = AsByte(address);
    buffer[1] = cell < 256 ? 'x' : 'y';
    WriteCellByte(std::span(buffer).subspan<2, 2>(), CellByte(cell));
    WriteCellByte(std::span(buffer).subspan<4, 2>(), AsByte(value % 256));
    if (Exchange(line, buffer, 6, 1) != 0) {
        throw ESerialIO("Невозможно установить параметр");
    }
    return 0;
}

}  // namespace fuel
