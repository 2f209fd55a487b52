// What a bus's controllers keep through a power cut, and who stands at its pumps: the
// contents of the memory file that lets an emulated bus outlive its process as real
// controllers outlive their host. Real controllers keep their totalisers, prices, doses and
// cells, and a fill that was running goes on while the host is down; so an emulator that
// starts again from its configuration would show totals running backwards and lose fills.
//
// The text format, one record a line ('#' starts a comment):
//
//     memory 1                             the format's version, first
//     saved 1714557600123456789            wall time of the save, ns since 1970 (UTC)
//     dispenser 1                          then its RAM and ROM, 256 bytes each in hex
//     ram 00...
//     rom 00...
//     nozzle 1 phase=running lifted=yes total-before=12001 ...   (every key, see Memory.cpp)
//     customer 1 phase=fuelling nozzle=1 litres=12.5 at=1714557600123456789
//     end 0123456789abcdef                 a checksum of everything before it, last
//
// The file is rewritten whole at every change; the checksum lets a reader refuse a file
// that was cut short or damaged rather than take wrong totals from it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/Emulator.h"

namespace fuel::emulator {

struct NozzleMemory {
    std::uint8_t number = 1;
    NozzlePhase phase = NozzlePhase::Idle;
    bool lifted = false;
    double totalBefore = 0;  // the totaliser before the current or last fill, litres
    double volume = 0;       // the last fill's; a running fill's follows from its start
    int price = 0;           // hundredths, as the controller holds it
    int fillPrice = 0;       // the current or last fill's
    double volumeDose = 0;   // the preset for the next fill (one of the two, or neither)
    double moneyDose = 0;
    double volumeLimit = 0;  // the current or last fill stops at this volume; 0: no limit
    double moneyLimit = 0;   // the money dose it runs to
    double flowRate = 0;     // litres per second of the current or last fill
    WallTime started{};      // when the current or last fill started

    bool operator==(const NozzleMemory&) const = default;
};

struct ControllerMemory {
    std::uint8_t number = 1;
    std::array<std::uint8_t, 256> ram{};
    std::array<std::uint8_t, 256> rom{};
    std::vector<NozzleMemory> nozzles;  // every nozzle of the controller, in order

    bool operator==(const ControllerMemory&) const = default;
};

// Where a customer is with their errand; a pump with nobody at it (Away) is not kept.
enum class CustomerPhase { Away, Walking, Waiting, Fuelling };

struct CustomerMemory {
    std::uint8_t dispenser = 1;
    CustomerPhase phase = CustomerPhase::Walking;
    std::uint8_t nozzle = 0;  // the nozzle taken; 0 while walking up
    double litres = 0;        // the volume wanted when the pump sets no dose
    WallTime at{};            // Walking: when the nozzle is lifted; after: since when waiting

    bool operator==(const CustomerMemory&) const = default;
};

struct Memory {
    WallTime saved{};
    std::vector<ControllerMemory> controllers;
    std::vector<CustomerMemory> customers;
};

// A memory that cannot be read or does not fit the bus. A configuration error of its kind:
// the bus cannot start from it.
class MemoryError : public ConfigError {
  public:
    using ConfigError::ConfigError;
};

std::string FormatMemory(const Memory& memory);
// Throws MemoryError ("line 7: ...") for a text FormatMemory did not write: a version it
// does not know, a line it cannot read, a record missing, or a checksum that does not match.
Memory ParseMemory(std::string_view text);

}  // namespace fuel::emulator
