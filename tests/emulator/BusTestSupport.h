// What the emulator's tests do to a bus: request frames as a host sends them, and the
// customers stepped on the bus's clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/Customers.h"
#include "emulator/Emulator.h"

namespace fuel::emulator::test {

using namespace std::chrono_literals;

// The request to the address with the command letter and its parameter characters: 'H',
// address, letter, parameters, the checksum over all of them with 'H' and 'E', then 'E'.
inline std::vector<std::uint8_t> Request(std::uint8_t address, char letter,
                                         std::string_view parameters = {}) {
    std::vector<std::uint8_t> frame;
    frame.reserve(parameters.size() + 5);
    frame.push_back('H');
    frame.push_back(address);
    frame.push_back(static_cast<std::uint8_t>(letter));
    for (const char c : parameters)
        frame.push_back(static_cast<std::uint8_t>(c));
    std::uint8_t sum = 'E';
    for (const std::uint8_t byte : frame)
        sum = static_cast<std::uint8_t>(sum + byte);
    frame.push_back(sum);
    frame.push_back('E');
    return frame;
}

// A cell's number or value as the cell commands carry it: two characters 0x30 + nibble.
inline std::string Nibbles(std::uint8_t value) {
    return {static_cast<char>(0x30 + (value >> 4)), static_cast<char>(0x30 + (value & 0x0F))};
}

// The nozzle of the dispenser that a customer holds lifted, 0 when none.
inline std::uint8_t Lifted(const Emulator& bus, std::uint8_t dispenser = 1) {
    for (const DispenserConfig& d : bus.Configuration().dispensers) {
        if (d.number != dispenser)
            continue;
        for (std::uint8_t nozzle = 1; nozzle <= d.nozzles; ++nozzle) {
            if (bus.Nozzle(dispenser, nozzle).lifted)
                return nozzle;
        }
    }
    return 0;
}

// Steps the customers every 100 ms of the bus's time until done() or the limit.
inline bool StepUntil(Emulator& bus, Customers& customers, const std::function<bool()>& done,
                      Duration limit = 10min) {
    for (Duration waited{}; waited < limit; waited += 100ms) {
        customers.Step();
        if (done())
            return true;
        bus.Advance(100ms);
    }
    return false;
}

}  // namespace fuel::emulator::test
