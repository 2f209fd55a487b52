#include "testing/HqProcess.h"

#include <signal.h>

#include <fstream>
#include <stdexcept>
#include <vector>

#include "testing/TestFiles.h"

namespace fuel::test {

using namespace std::chrono_literals;

HqProcess::HqProcess(const std::filesystem::path& dir, const std::string& name,
                     const HqWorkerSetup& setup)
    : log_(dir / (name + ".log")) {
    const std::filesystem::path config = dir / (name + ".ini");
    std::ofstream(config) << "[mqtt]\nurl = " << setup.brokerUrl << "\nclient-id = " << name
                          << "\nidentity = " << setup.identity << "\n"
                          << (setup.intake.empty() ? "" : "[intake]\n" + setup.intake)
                          << setup.sections;
    child_ = std::make_unique<ChildProcess>(
        setup.program,
        std::vector<std::string>{"--config", config.string(), "--database", setup.database,
                                 "--listen", "127.0.0.1:0"},
        dir / (name + ".out"), log_);
    const auto line = WaitForText(log_, "listening on http://127.0.0.1:", 60s);
    if (!line)
        throw std::runtime_error(name + " did not start: " + Log());
    port_ = static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    if (!WaitForText(log_, "mqtt: connected", 30s))
        throw std::runtime_error(name + " did not reach the broker: " + Log());
}

std::string HqProcess::Log() const {
    return ReadBytes(log_);
}

HqProcess::Stopped HqProcess::Stop(std::chrono::milliseconds wait) {
    child_->Signal(SIGTERM);
    Stopped stopped;
    stopped.status = child_->Wait(wait);
    const auto line = WaitForText(log_, "stopped: ", 1s);
    if (line)
        stopped.stored = std::stoull(line->substr(line->find("stopped: ") + 9));
    return stopped;
}

std::optional<int> HqProcess::Kill(std::chrono::milliseconds wait) {
    child_->Signal(SIGKILL);
    return child_->Wait(wait);
}

}  // namespace fuel::test
