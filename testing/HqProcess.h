// One built fuel-hq worker as a child process, for the head office's tests and benchmark:
// its configuration file written for the broker and the [intake] lines given, its API on a
// free loopback port, and ready once it has reached the broker.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "testing/ChildProcess.h"

namespace fuel::test {

struct HqWorkerSetup {
    std::filesystem::path program{};  // the built fuel-hq
    std::string brokerUrl{};          // mqtt://127.0.0.1:PORT
    std::string database{};           // libpq's connection string
    std::string identity = "hq";      // the replay commands' last topic level
    // The [intake] section's lines ("batch-time = 0.02\n..."); empty: its defaults.
    std::string intake{};
    // Whole sections after it ("[bounds]\n95.highest = 2.40\n").
    std::string sections{};
};

class HqProcess {
  public:
    // Starts it as client `name`, its files NAME.ini, NAME.log and NAME.out in `dir`; throws
    // std::runtime_error with its log when it does not listen or reach the broker in time.
    HqProcess(const std::filesystem::path& dir, const std::string& name,
              const HqWorkerSetup& setup);

    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return child_->Pid(); }
    std::string Log() const;

    struct Stopped {
        std::optional<int> status;  // nullopt: still running at the end of the wait
        std::uint64_t stored = 0;   // the messages it stored, from its last words
    };
    // SIGTERM and the wait.
    Stopped Stop(std::chrono::milliseconds wait = std::chrono::seconds(30));
    // SIGKILL (a worker killed at any instant) and the wait: its exit status, 128 + 9.
    std::optional<int> Kill(std::chrono::milliseconds wait = std::chrono::seconds(30));

  private:
    std::filesystem::path log_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace fuel::test
