// Controllers behind a serial-to-Ethernet converter in TCP server mode: the converter passes
// the bytes of a TCP connection to its serial line and back, untouched (a raw byte stream, no
// Telnet or RFC 2217 negotiation). The line's baud rate, parity and stop bits are set on the
// converter itself, so Apply takes no notice of them.
//
// A port map names such a line tcp://HOST:PORT. HOST is a name, an IPv4 address or an IPv6
// address in brackets; connecting is bounded by its own time-out, so that a converter that is
// switched off never holds an exchange longer than that. (A host name is looked up first, by
// the system's resolver and within its own time-outs; an address needs no lookup.)
//
// Written once (TcpPort.cpp) over the system's calls, which are once per platform
// (link/TcpSocket.h); every failure is a PortError naming the line as the port map does.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "link/Port.h"

namespace fuel {

inline constexpr std::string_view kTcpScheme = "tcp://";

struct TcpAddress {
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;
};

// Whether a port map's device names a TCP line (it starts with tcp://).
bool IsTcpDevice(std::string_view device);
// tcp://HOST:PORT -> its host and port; std::invalid_argument saying what is wrong.
TcpAddress ParseTcpAddress(std::string_view device);

class TcpPort final : public Port {
  public:
    // Connects, or throws a PortError once the time-out has passed.
    TcpPort(const std::string& device, std::chrono::milliseconds connectTimeout);
    ~TcpPort() override;
    TcpPort(const TcpPort&) = delete;
    TcpPort& operator=(const TcpPort&) = delete;

    void Apply(const LineSettings& line) override;
    void DiscardInput() override;
    void Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) override;
    std::size_t Read(std::span<std::uint8_t> into, Clock::time_point deadline) override;

    const std::string& Device() const { return device_; }

  private:
    std::string device_;
    std::intptr_t handle_ = -1;  // socket, by platform
};

}  // namespace fuel
