// The records a dispenser poll hands back to the host, byte for byte as the host reads them
// (little-endian words, whatever the machine).
#pragma once

#include <array>
#include <cstdint>

#include "driver/CheckedArray.h"

namespace fuel {

// 16 bytes: 0 summary code, 1 zero, 2..13 the status words of nozzles 1..6, 14 the nozzle
// the summary came from, 15 zero.
struct StatusRecord {
    static constexpr std::size_t kSize = 16;
    std::array<std::uint8_t, kSize> bytes{};

    std::uint8_t Summary() const { return bytes[0]; }
    std::uint8_t SummaryNozzle() const { return bytes[14]; }
    std::uint16_t Word(std::int64_t nozzle) const {
        const std::size_t at = WordOffset(nozzle);
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
    }
    void SetWord(std::int64_t nozzle, std::uint16_t word) {
        const std::size_t at = WordOffset(nozzle);
        bytes[at] = static_cast<std::uint8_t>(word & 0xFF);
        bytes[at + 1] = static_cast<std::uint8_t>(word >> 8);
    }

  private:
    static std::size_t WordOffset(std::int64_t nozzle) {
        CheckedArray<int, 1, 6>::Check(nozzle);
        return static_cast<std::size_t>(2 + 2 * (nozzle - 1));
    }
};

// 20 bytes: 0..14 as a StatusRecord, 15 left as the caller had it, 16..19 a 32-bit zero.
struct StatusRecordEx {
    static constexpr std::size_t kSize = 20;
    std::array<std::uint8_t, kSize> bytes{};
};

}  // namespace fuel
