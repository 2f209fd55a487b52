// How the trace's readers show bytes, figures and the reply check's codes to a person; the
// command line shows them the same way.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace fuel::trace {

// Bytes as "48 01 44 D2 45".
std::string Hex(std::span<const std::uint8_t> bytes);
// One byte as "D2".
std::string Hex(std::uint8_t byte);
// What a reply-check code means: "accepted", "rejected 219: only 'A' ...".
std::string ReplyCodeWords(std::int32_t code);
// Fixed decimals, no thousands separator: "12.35".
std::string Fixed(double value, int decimals);

}  // namespace fuel::trace
