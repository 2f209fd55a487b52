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
// DefaultInterByteTimeout), and let the driver's reply check judge what came. Silence and
// rejected replies are retried a bounded number of times, each retry once the line has been
// quiet for a reply time-out (or the longer inter-byte time-out), so that the tail of a late
// reply is not read as the start of the next one. A port that fails (an adapter pulled out,
// a converter's connection dropped) ends the exchange at once and is reopened by a later one,
// which then runs the driver's line initializer again, as after any open. Connecting to a
// converter has a time-out of its own.
//
// A converter's line is the same exchange with the same time-outs; its baud rate, parity and
// stop bits are set on the converter (the baud rate, the driver's or the map's, still counts
// for the request's time on the converter's line before the reply time-out starts).
//
// Failure codes: the reply check's own (223, 219, 209, 222) when the last attempt was
// rejected, kSilence when nothing came, and the other serial_code values below.
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
#include "link/Port.h"

namespace fuel {

// The link's own failure codes, apart from the reply check's (209, 219, 222, 223).
namespace serial_code {
inline constexpr std::int32_t kSilence = 1000;          // no reply byte within the time-out
inline constexpr std::int32_t kPortUnavailable = 1001;  // did not open or connect, or failed
inline constexpr std::int32_t kNoPort = 1002;           // channel missing from the port map
inline constexpr std::int32_t kBadRequest = 1003;       // empty frame, or no reply asked for
inline constexpr std::int32_t kUnjudged = 1004;         // no reply check, or it gave no code
inline constexpr std::int32_t kBadSettings = 1005;      // the port refused the line settings
}  // namespace serial_code

// A short description of a code this link may return, for messages and traces.
std::string_view DescribeSerialCode(std::int32_t code);

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
    int attempts = 3;  // sends per exchange: the first and the retries

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

// The reply check's word on one attempt, as traces show it (the same fields as the
// emulator link's verdict, so that one printer serves both lines).
struct SerialVerdict {
    bool received = false;   // at least one byte arrived
    bool accepted = false;   // the exchange succeeded
    bool checked = false;    // the reply check was asked
    std::int32_t code = 0;   // the channel error after the attempt (0, 209 ... or serial_code)
    std::int32_t state = 0;  // the channel state after the attempt
    std::uint8_t receivedCount = 0;
    std::uint8_t expectedCount = 0;
    int attempt = 1;  // 1 for the first try, 2 for the first retry ...
};

// Health of the line over the link's life, named as the emulator link names its counters.
struct SerialCounters {
    using Duration = std::chrono::nanoseconds;
    std::uint64_t exchanges = 0;  // Transact calls
    std::uint64_t attempts = 0;   // frames sent
    std::uint64_t retries = 0;
    std::uint64_t accepted = 0;      // exchanges that returned 0
    std::uint64_t failed = 0;        // exchanges that returned non-zero
    std::uint64_t timeouts = 0;      // attempts that saw no byte in time
    std::uint64_t shortReplies = 0;  // attempts whose reply stopped before the asked length
    std::uint64_t rejectedBadStart = 0;
    std::uint64_t rejectedOnlyAcknowledge = 0;
    std::uint64_t rejectedNoEnd = 0;
    std::uint64_t rejectedBadChecksum = 0;
    std::uint64_t rejectedOther = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;  // bytes handed to the reply check
    std::uint64_t portFailures = 0;   // opens that failed and ports that went away
    std::uint64_t opens = 0;
    // Time from each send to the end of its attempt (the reply's count in, the quiet gap
    // after it, or the time-out), on the wall clock. On serial ports, also the bytes' own
    // wire time at the port's settings. A converter's line has a wire time too, but at the
    // converter's own settings: a TCP line's time is only what was measured.
    Duration serialTime{};
    Duration wireTime{};
    Duration networkTime{};
    struct {
        Duration total{};
        Duration min = Duration::max();
        Duration max{};
    } latency;  // accepted exchanges, first send to verdict, wall clock

    std::uint64_t Rejected() const {
        return rejectedBadStart + rejectedOnlyAcknowledge + rejectedNoEnd + rejectedBadChecksum +
               rejectedOther;
    }
};

class SerialLink final : public HostLink {
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

    const SerialCounters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = SerialCounters{}; }

    // Trace hooks: every frame as sent (each attempt), every reply with the verdict on it
    // (silence shows as an empty reply), and every port failure with its reason.
    std::function<void(std::uint32_t channel, std::span<const std::uint8_t> frame, int attempt)>
        onFrame;
    std::function<void(std::uint32_t channel, std::span<const std::uint8_t> reply,
                       const SerialVerdict& verdict)>
        onReply;
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
    SerialCounters counters_;
};

}  // namespace fuel
