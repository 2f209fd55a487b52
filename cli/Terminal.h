// Whether output goes to a person at a terminal (lines may be redrawn) or to a file or a
// pipe (every line stays), and Ctrl-C as a request to finish cleanly.
#pragma once

#include <iosfwd>

namespace fuel::cli {

bool IsTerminal(const std::ostream& out);
// Whether the program's input comes from a person at a terminal (who can be asked).
bool IsTerminalInput(const std::istream& in);

// While one lives, Ctrl-C sets Interrupted() instead of killing the program, so that a
// monitor can restore the terminal and print its counters.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    static bool Interrupted();
};

}  // namespace fuel::cli
