// How the command line shows any of our lines: each frame and reply as --trace prints them,
// and the line's counters as --stats prints them. A line shows what it has: what it cannot
// know (the wire time of a converter's line, the port opens of the emulator's bus) stays
// zero and is left out.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "link/Line.h"

namespace fuel::cli {

// The verdict on one attempt, as --trace shows it after the reply's bytes.
std::string VerdictWords(const AttemptVerdict& verdict);

// --trace: "  -> FRAME" (with the retry's number) and "  <- REPLY   VERDICT".
void PrintFrame(std::ostream& out, std::span<const std::uint8_t> frame, int attempt);
void PrintReply(std::ostream& out, std::span<const std::uint8_t> reply,
                const AttemptVerdict& verdict);

// What the counters do not hold: the baud rate of a line whose wire time is modelled, and
// why the port last failed.
struct LineFacts {
    std::uint32_t baudRate = 0;
    std::string_view lastProblem{};
};

// --stats.
void PrintLineStats(std::ostream& out, const LineCounters& counters, const LineFacts& facts);

}  // namespace fuel::cli
