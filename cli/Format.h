// How the program shows what the driver and the line report: status codes in words, the
// controller's mode, bytes in hex, quantities with their units.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fuel::cli {

// "idle", "running on nozzle 2", ... for a status code the driver hands to the host.
std::string StatusWords(std::uint8_t code);
// A short fixed-width form of the same for tables: "idle", "run 2", "wait 1", "end 3".
std::string StatusShort(std::uint8_t code);
// The controller mode byte as the driver caches it, with its decimals where they matter.
std::string ModeWords(std::uint8_t mode, std::uint8_t volumeDecimals, std::uint8_t moneyDecimals);
// Bytes as "48 01 44 D2 45".
std::string Hex(std::span<const std::uint8_t> bytes);
// One byte as "D2".
std::string Hex(std::uint8_t byte);
// What a reply-check code means, for the trace: "accepted", "rejected 219: only 'A' ...".
std::string ReplyCodeWords(std::int32_t code);
// Fixed decimals, no thousands separator: "12.35".
std::string Fixed(double value, int decimals);

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
