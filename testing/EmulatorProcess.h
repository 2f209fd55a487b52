// fuel-emulator as a process of its own, for tests and benchmarks (POSIX): it serves on a
// pseudo-terminal, or on a TCP port of the loopback address as a converter does, from the
// moment the constructor returns, and it is stopped with the object.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fuel::test {

struct EmulatorLaunch {
    std::string program{};                   // the fuel-emulator to run
    std::optional<std::string> config{};     // its bus file; none: the emulator's own bus
    std::optional<std::uint16_t> tcpPort{};  // a TCP port (0: any free one), not a terminal
    std::optional<std::string> link{};       // a stable name for the pseudo-terminal
    std::vector<std::string> arguments{};    // anything more: --fault, --turnaround, --baud ...
};

class EmulatorProcess {
  public:
    // Throws std::runtime_error when the emulator does not come up serving.
    explicit EmulatorProcess(EmulatorLaunch launch);
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Where it serves: the pseudo-terminal's device, or tcp://127.0.0.1:PORT.
    const std::string& Device() const { return device_; }
    // The TCP port it serves on; 0 on a pseudo-terminal.
    std::uint16_t TcpPort() const;
    // -1 once it has ended.
    pid_t Pid() const { return pid_; }

    // Ends it as an operator does (SIGTERM), and waits for it.
    void Stop();
    // Ends it as a crash does (SIGKILL): no chance to close or clean up. Waits for it.
    void Kill();

  private:
    void End(int signal);

    pid_t pid_ = -1;
    std::string device_;
};

}  // namespace fuel::test
