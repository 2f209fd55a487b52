// The driver's line over real serial ports: each channel 1..32 is one port (a USB RS-485
// adapter, a motherboard COM port, a pseudo-terminal, or a serial-to-Ethernet converter's
// TCP port, tcp://HOST:PORT), named in a small port map.
//
// The driver asks for ConfigureLine(channel, 75, 4800). We read 75 as the reply time-out in
// milliseconds: how long we wait for the first byte of a reply once our frame has left the
// wire (its own wire time is added on top, so a slow baud rate does not eat the controller's
// turnaround). 4800 is the baud rate. A port map entry may override either; its other
// settings (data bits, parity, stop bits, inter-byte time-out, attempts) are the map's alone.
//
// One exchange: discard stale input, send the frame, wait up to the reply time-out for the
// first byte, then read until the expected count is in or the line stays quiet for the
// inter-byte time-out (by default as long as the reply time-out: see
// DefaultInterByteTimeout), and let the driver's reply check judge what came. Silence,
// rejected and short replies are retried a bounded number of times, each retry once the
// line has been quiet for a reply time-out (or the longer inter-byte time-out), so that the
// tail of a late reply is not read as the start of the next one. A port that fails (an
// adapter pulled out, a converter's connection dropped) ends the exchange at once and is
// reopened by a later one, which then runs the driver's line initializer again, as after any
// open. Connecting to a converter has a time-out of its own.
//
// A converter's line is the same exchange with the same time-outs; its baud rate, parity and
// stop bits are set on the converter (the baud rate, the driver's or the map's, still counts
// for the request's time on the converter's line before the reply time-out starts).
//
// Failure codes: the reply check's own (223, 219, 209, 222) when the last attempt was
// rejected, and otherwise the line's own (link/Line.h): silence, a short reply, a port that
// is missing or failed.
//
// The line itself is a Port: SerialPort (POSIX termios or Win32 COM) or TcpPort (POSIX or
// Winsock sockets); the build picks each one's platform file.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "driver/CheckedArray.h"
#include "driver/HostLink.h"
#include "link/Line.h"
#include "link/Port.h"

namespace fuel {

using Milliseconds = std::chrono::milliseconds;

// How long a converter may take to accept our connection. A converter on the station's
// network answers within milliseconds; one that is switched off never does, and every
// exchange that tries to reopen the line pays this.
inline constexpr Milliseconds kDefaultConnectTimeout{1000};

// One channel's entry in the port map.
struct PortSettings {
    std::string device;                            // "/dev/ttyUSB0", "COM3", "tcp://10.0.0.7:4001"
    std::optional<std::uint32_t> baudRate;         // wins over the driver's 4800
    std::optional<Milliseconds> replyTimeout;      // wins over the driver's 75
    std::optional<Milliseconds> interByteTimeout;  // default: see DefaultInterByteTimeout
    std::optional<Milliseconds> connectTimeout;    // tcp:// only; default kDefaultConnectTimeout
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    std::uint8_t stopBits = 1;
    RetryPolicy retry;

    bool IsTcp() const;
};

// The default gap that ends a reply: the reply time-out, plus three characters' time for the
// next byte's own time on the line and the reader's wake-up. Replies rarely come as the
// controller sends them: a USB adapter hands bytes over when its latency timer runs out (16 ms
// on common chips), a loaded machine or a network converter adds its own delay, so a pause
// inside a reply can be as long as one before it. A reply ends on its count, so the wait is
// paid only when a reply really is short.
Milliseconds DefaultInterByteTimeout(Milliseconds replyTimeout, std::uint32_t baudRate);
// A line's time for count bytes: 10 bits a byte with 8N1 (start, data, parity, stop bits).
std::chrono::microseconds WireTime(std::size_t count, const LineSettings& line);

class PortMapError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Channel -> port. The text form has one channel a line, '#' starting a comment:
//     1  /dev/ttyUSB0
//     2  COM3  baud=9600 timeout=100 interbyte=30 data=8 parity=even stop=1 attempts=2
//     3  tcp://192.168.0.10:4001  timeout=150 connect=500
// timeout, interbyte and connect are milliseconds; data, parity and stop are refused for a
// tcp:// line (they are the converter's settings), connect for a serial one. Anything not
// understood is refused with its line.
class PortMap {
  public:
    static PortMap Parse(std::string_view text);
    static PortMap Load(const std::string& path);

    void Assign(std::uint32_t channel, PortSettings settings);
    const PortSettings* Find(std::uint32_t channel) const;
    bool Empty() const { return ports_.empty(); }
    const std::map<std::uint32_t, PortSettings>& Entries() const { return ports_; }

  private:
    std::map<std::uint32_t, PortSettings> ports_;
};

class SerialLink final : public Line {
  public:
    explicit SerialLink(PortMap ports);
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    std::int32_t GetChannelError(std::uint32_t channel) override;
    void SetChannelError(std::uint32_t channel, std::int32_t code) override;
    void SetChannelState(std::uint32_t channel, std::int32_t state) override;
    std::int32_t GetChannelState(std::uint32_t channel) override;
    std::int32_t Transact(std::uint32_t channel, const std::uint8_t* frame,
                          std::uint8_t frameLength, std::uint8_t* reply, std::uint8_t replyLength,
                          std::uint32_t reserved) override;
    // timeout: the reply time-out in milliseconds; baudRate: bits per second. Opens the port
    // if it is closed. 0 when the port is open with these settings.
    std::int32_t ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                               std::uint32_t baudRate) override;
    void SetReplyValidator(std::uint32_t channel, ReplyHandler handler) override;
    void SetLineInitializer(std::uint32_t channel, LineInitializer handler) override;

    // Every port failure with its reason, beside the line's trace hooks.
    std::function<void(std::uint32_t channel, const std::string& problem)> onPortFailure;
    // Why the channel's port last failed, for the user; empty when it did not.
    const std::string& LastProblem(std::uint32_t channel) const;
    bool IsOpen(std::uint32_t channel) const;

  private:
    struct Channel {
        const PortSettings* settings = nullptr;
        std::unique_ptr<Port> port;
        std::uint32_t requestedTimeout = 75;
        std::uint32_t requestedBaudRate = 4800;
        std::int32_t error = 0;
        std::int32_t state = 0;
        ReplyHandler check;
        LineInitializer initializer;
        bool initializing = false;
        std::string problem;
    };

    LineSettings LineOf(const Channel& channel) const;
    Milliseconds ReplyTimeoutOf(const Channel& channel) const;
    Milliseconds InterByteTimeoutOf(const Channel& channel) const;
    // Opens and sets up the port, then runs the line initializer; 0 or a failure code.
    std::int32_t Open(std::uint32_t number, Channel& channel);
    void PortFailed(std::uint32_t number, Channel& channel, const std::string& problem);
    std::size_t ReadReply(Channel& channel, std::span<std::uint8_t> reply,
                          Port::Clock::time_point firstByteDeadline);
    void CountLineTime(const Channel& channel, Port::Clock::duration spent, std::size_t bytes);
    // After a rejected reply the controller may still be talking: wait for a quiet line.
    void DrainUntilQuiet(Channel& channel);
    std::int32_t Fail(Channel& channel, std::int32_t code);

    PortMap ports_;
    CheckedArray<Channel, 1, 32> channels_;
};

}  // namespace fuel
