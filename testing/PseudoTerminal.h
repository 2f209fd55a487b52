// A pseudo-terminal pair as a serial line's two ends (POSIX only): the master is the
// controller's end, the slave the device the serial link opens by its path. The slave starts
// raw, as a real adapter's line is, so that nothing is echoed or translated before the link
// sets the line up itself. Both descriptors are the caller's to close.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace fuel::test {

struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    std::string path;  // the slave's device
};

inline PseudoTerminal OpenRawPseudoTerminal() {
    PseudoTerminal pair;
    if (::openpty(&pair.master, &pair.slave, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    pair.path = ::ttyname(pair.slave);
    termios raw{};
    ::tcgetattr(pair.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(pair.slave, TCSANOW, &raw);
    return pair;
}

}  // namespace fuel::test
