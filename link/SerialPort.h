// One open serial device. Implemented once per platform (SerialLinkPosix.cpp,
// SerialLinkWin32.cpp); every failure is a PortError naming the device.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/Port.h"

namespace fuel {

class SerialPort final : public Port {
  public:
    explicit SerialPort(const std::string& device);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    void Apply(const LineSettings& line) override;
    void DiscardInput() override;
    void Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) override;
    std::size_t Read(std::span<std::uint8_t> into, Clock::time_point deadline) override;

    const std::string& Device() const { return device_; }

  private:
    [[noreturn]] void Fail(std::string_view what) const;

    std::string device_;
    std::intptr_t handle_ = -1;  // file descriptor or HANDLE, by platform
};

}  // namespace fuel
