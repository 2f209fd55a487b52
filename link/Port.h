// What an exchange needs of a channel's line: a byte stream that can be written, read and
// emptied, each call bounded by a deadline. A serial port (SerialPort.h) is one; a TCP
// connection to a serial-to-Ethernet converter (TcpPort.h) is another. The serial link runs
// the same exchange over either.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

namespace fuel {

enum class Parity { None, Even, Odd };

// What a serial line is set to.
struct LineSettings {
    std::uint32_t baudRate = 4800;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    std::uint8_t stopBits = 1;
};

// A port that failed: could not be opened or connected, refused its settings, or went away.
// The message names the port.
class PortError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Port {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~Port() = default;

    // Sets the line up; a port whose line is set up elsewhere (a converter's) takes no notice.
    virtual void Apply(const LineSettings& line) = 0;
    // Drops whatever the line delivered before now.
    virtual void DiscardInput() = 0;
    // All bytes, or a PortError once the deadline has passed.
    virtual void Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) = 0;
    // Whatever has arrived, waiting until the deadline for at least one byte; 0 when nothing
    // came in time.
    virtual std::size_t Read(std::span<std::uint8_t> into, Clock::time_point deadline) = 0;
};

// What is left until a deadline, for a system call that waits in whole milliseconds: rounded
// up, so that no wait ends before the deadline; 0 once it has passed; at most a minute, after
// which the caller waits again.
inline int MillisecondsUntil(Port::Clock::time_point deadline) {
    const auto left = deadline - Port::Clock::now();
    if (left <= Port::Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<std::int64_t>(ms, 60'000));
}

}  // namespace fuel
