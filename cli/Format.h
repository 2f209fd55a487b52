// How the program shows what the driver and the line report: status codes in words, the
// controller's mode, bytes in hex, quantities with their units.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "trace/Words.h"

namespace fuel::cli {

// "idle", "running on nozzle 2", ... for a status code the driver hands to the host.
std::string StatusWords(std::uint8_t code);
// A short fixed-width form of the same for tables: "idle", "run 2", "wait 1", "end 3".
std::string StatusShort(std::uint8_t code);
// The controller mode byte as the driver caches it, with its decimals where they matter.
std::string ModeWords(std::uint8_t mode, std::uint8_t volumeDecimals, std::uint8_t moneyDecimals);
// Bytes, the reply check's codes and fixed decimals as the trace's readers show them.
using trace::Fixed;
using trace::Hex;
using trace::ReplyCodeWords;

// A quantity and the decimals it is shown with: the dispenser's own where its mode has them.
struct Quantity {
    double value = 0;
    int decimals = 2;
};
std::string Fixed(const Quantity& quantity);
// The number the text shows, read back from that text: what a script gets must be what a
// person reads, not the driver's double with its binary tail.
double AsShown(const Quantity& quantity);

}  // namespace fuel::cli
