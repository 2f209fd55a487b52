// The driver on a serial line of one channel, as a program of ours sets it up: a port map of
// one entry, the serial link over it and the driver on the link. Header only: whoever uses it
// links the serial link.
#pragma once

#include <cstdint>
#include <string>

#include "driver/TVM30.h"
#include "link/SerialLink.h"

namespace fuel::test {

struct DriverOnSerialLine {
    static constexpr std::uint8_t kChannel = 1;

    explicit DriverOnSerialLine(const PortSettings& port, std::uint32_t flags = 0)
        : link(MapOf(port)), driver(flags, &link, "") {}

    // Opens the line and sets it up, as a host does before its first command; empty when the
    // line is ready, else why not.
    std::string Open() {
        const std::int32_t result = driver.InitLink(kChannel);
        if (result == 0) {
            return {};
        }
        const std::string& problem = link.LastProblem(kChannel);
        return problem.empty() ? std::string(DescribeLineCode(result)) : problem;
    }

    SerialLink link;
    TVM30 driver;

  private:
    static PortMap MapOf(const PortSettings& port) {
        PortMap map;
        map.Assign(kChannel, port);
        return map;
    }
};

}  // namespace fuel::test
