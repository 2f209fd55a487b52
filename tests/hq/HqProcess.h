// The built fuel-hq as the end-to-end tests run it: one worker on the test's broker and
// database, started until it listens and has reached the broker, stopped or killed.
#pragma once

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "testing/Broker.h"
#include "testing/ChildProcess.h"

#ifndef FUEL_HQ_PATH
#error "FUEL_HQ_PATH must name the built program"
#endif

namespace fuel::hq::test {

using namespace std::chrono_literals;
using fuel::test::ChildProcess;
using fuel::test::MosquittoBroker;
using fuel::test::WaitForText;

inline constexpr std::string_view kIdentity = "hq";

// Until done() holds, looking every 20 ms; false after the time-out.
template <class Done>
bool Eventually(Done done, std::chrono::milliseconds timeout = 30s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

inline std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One fuel-hq worker on the test's broker and database.
class HqProcess {
  public:
    HqProcess(const std::filesystem::path& dir, const std::string& name,
              const MosquittoBroker& broker, const std::string& database,
              const std::string& moreIntake = {})
        : config_(dir / (name + ".ini")), log_(dir / (name + ".log")) {
        std::ofstream(config_) << "[mqtt]\nurl = " << broker.Url() << "\nclient-id = " << name
                               << "\nidentity = " << kIdentity
                               << "\n[intake]\nbatch-time = 0.02\ngap-time = 0.5\n"
                                  "apply-every = 0.2\nhealth-every = 60\n"
                               << moreIntake;
        child_ = std::make_unique<ChildProcess>(
            FUEL_HQ_PATH,
            std::vector<std::string>{"--config", config_.string(), "--database", database,
                                     "--listen", "127.0.0.1:0"},
            dir / (name + ".out"), log_);
        const auto line = WaitForText(log_, "listening on http://127.0.0.1:", 60s);
        if (!line)
            throw std::runtime_error(name + " did not start: " + Read(log_));
        port_ = static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
        if (!WaitForText(log_, "mqtt: connected", 30s))
            throw std::runtime_error(name + " did not reach the broker: " + Read(log_));
    }
    std::uint16_t Port() const { return port_; }
    // SIGTERM, and the messages it stored, from its last words.
    std::uint64_t Stop() {
        child_->Signal(SIGTERM);
        EXPECT_EQ(child_->Wait(30s), 0) << Read(log_);
        const auto line = WaitForText(log_, "stopped: ", 1s);
        if (!line)
            return 0;
        return std::stoull(line->substr(line->find("stopped: ") + 9));
    }

    // SIGKILL: gone at any instant, as a crash or an OOM kill leaves it.
    void Kill() {
        child_->Signal(SIGKILL);
        EXPECT_EQ(child_->Wait(30s), 128 + SIGKILL);
    }
    std::string Log() const { return Read(log_); }

  private:
    std::filesystem::path config_;
    std::filesystem::path log_;
    std::unique_ptr<ChildProcess> child_;
    std::uint16_t port_ = 0;
};

}  // namespace fuel::hq::test
