// The emulator on a serial line, where a host reaches it as it reaches real controllers: on
// a pseudo-terminal (a device path the host opens like a USB adapter) or on a real serial
// device. Requests are cut out of the byte stream as a controller cuts them; replies go out
// after the turnaround and, on a pseudo-terminal, at the line's own speed, since nothing in
// a pseudo-terminal paces bytes as a UART does.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "emulator/Emulator.h"

namespace fuel::emulator {

// Cuts request frames out of a byte stream: a frame starts with 'H' and its command letter
// (the third byte) gives its length. Bytes that cannot start a frame, and frames with a
// letter no controller knows, are dropped; the search goes on at the next 'H'.
class FrameAssembler {
  public:
    // Takes one byte; returns the frame it completes, valid until the next call.
    std::optional<std::span<const std::uint8_t>> Push(std::uint8_t byte);
    // A gap on the line ends whatever was begun.
    void Reset() { size_ = 0; }
    bool Empty() const { return size_ == 0 || complete_; }

    // The frame length that a command letter implies, 0 for an unknown letter.
    static std::size_t FrameLength(std::uint8_t letter);

  private:
    std::array<std::uint8_t, 16> buffer_{};
    std::size_t size_ = 0;
    bool complete_ = false;
};

struct ServeOptions {
    std::uint32_t baudRate = 4800;
    // Model the line's timing: the request's own wire time before the turnaround, and every
    // reply byte at the baud rate. Off on a real device, whose UART does it.
    bool pace = true;
    // A gap this long between bytes abandons a frame that has begun.
    std::chrono::milliseconds frameGap{50};
    // Every reply stops for pause after its first pauseAfter bytes (0: never), as replies
    // reach a host through a USB adapter's latency timer, a network converter or a loaded
    // machine: in two bursts.
    std::size_t pauseAfter = 0;
    std::chrono::milliseconds pause{0};
};

// The time count bytes take on the line, 10 bits a byte.
Duration LineTime(std::size_t count, std::uint32_t baudRate);

class SerialServer {
  public:
    // Serves bus on an open descriptor (a pseudo-terminal's master side or a raw device).
    SerialServer(Emulator& bus, int descriptor, ServeOptions options);

    // Called with each complete request before the bus answers it: its number from 1.
    std::function<void(std::uint64_t number, std::span<const std::uint8_t> frame)> onRequest;
    // Called once the reply is out (or the bus kept silent), with the time it took.
    std::function<void(std::uint64_t number, std::span<const std::uint8_t> frame,
                       const Reply& reply, Duration took)>
        onReply;

    // Serves until stop is set (checked at least every 50 ms). Throws std::runtime_error
    // when the line fails.
    void Run(const std::atomic<bool>& stop);

    // For a server that waits on its descriptor itself (TcpServer): bytes that just came,
    // answered before this returns. Throws std::runtime_error when a reply cannot be written.
    void Receive(std::span<const std::uint8_t> bytes);
    // Serves another descriptor from now on (the next TCP client); a frame begun on the old
    // one is dropped. The bus and the request count go on.
    void Attach(int descriptor);

    std::uint64_t Requests() const { return requests_; }

  private:
    using SteadyClock = std::chrono::steady_clock;
    void Answer(std::span<const std::uint8_t> frame, SteadyClock::time_point frameStart);
    void Send(const Reply& reply, std::size_t frameSize, SteadyClock::time_point frameStart);
    void WriteAll(const std::uint8_t* bytes, std::size_t count);

    Emulator& bus_;
    int descriptor_;
    ServeOptions options_;
    FrameAssembler frames_;
    std::uint64_t requests_ = 0;
    SteadyClock::time_point frameStart_ = SteadyClock::now();
    SteadyClock::time_point lastByte_ = SteadyClock::now();
};

// A new pseudo-terminal in raw mode. It keeps its own slave side open, so that the master
// side stays usable while hosts open and close the device.
class PseudoTerminal {
  public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int Master() const { return master_; }
    const std::string& Path() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Opens a real serial device raw at the given baud rate; throws std::runtime_error.
int OpenSerialDevice(const std::string& path, std::uint32_t baudRate);

}  // namespace fuel::emulator
