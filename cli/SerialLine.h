// The real line behind --port and --ports: the driver talks to controllers (or to
// fuel-emulator) through a serial port instead of the embedded emulator.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "link/SerialLink.h"

namespace fuel::cli {

class SerialLine {
  public:
    // port: the device for the session's channel; portMap: a port map file for any channels.
    // Both may be given; --port then wins for its channel. retries: --retries, for the
    // session's channel. Port failures are reported on out as they happen. Throws UsageError
    // for a port map that cannot be read.
    SerialLine(const std::optional<std::string>& port, const std::optional<std::string>& portMap,
               std::uint8_t channel, std::optional<int> retries, std::ostream& out);

    SerialLink& Link() { return *link_; }

  private:
    std::unique_ptr<SerialLink> link_;
};

}  // namespace fuel::cli
