// End to end over a serial line: the driver and the command-line program talk through the
// serial link to the emulator running as its own process on a pseudo-terminal, paced at
// 4800 baud, as they would talk to controllers behind a USB adapter.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/TVM30.h"
#include "link/SerialLink.h"

extern char** environ;

namespace fuel::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint8_t kChannel = 1;
constexpr std::uint8_t kDispenser = 3;
constexpr std::uint8_t kNozzle = 1;
constexpr std::uint32_t kMoneyDoses = 0x10;

constexpr const char* kBus =
    "[dispenser 3]\n"
    "nozzles = 2\n"
    "flow = 4\n"
    "price = 45.67 50.00\n"
    "total = 1520.00 874.25\n";

// A scratch folder with the bus configuration and the stable name of the line.
class Workspace {
  public:
    Workspace()
        : dir_(fs::temp_directory_path() /
               ("serial-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
        fs::create_directories(dir_);
        std::ofstream(Config()) << kBus;
        // These tests are about the whole chain, not about timing: time-outs wide enough
        // that a loaded machine's scheduling never passes for a slow controller.
        std::ofstream(Ports()) << "1 " << Line() << " timeout=500 interbyte=200\n";
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string Config() const { return (dir_ / "bus.conf").string(); }
    std::string Line() const { return (dir_ / "ttyBUS").string(); }
    std::string Ports() const { return (dir_ / "ports.map").string(); }

  private:
    static inline int counter_ = 0;
    fs::path dir_;
};

// fuel-emulator as a child process, serving on a pseudo-terminal behind a stable name.
class EmulatorProcess {
  public:
    // Without extra arguments it serves the workspace's bus.
    EmulatorProcess(const Workspace& work, std::vector<std::string> extra = {}) {
        std::vector<std::string> words = {FUEL_EMULATOR_PATH, "--link", work.Line(),
                                          "--turnaround",     "2",      "--quiet"};
        if (std::find(extra.begin(), extra.end(), "--example-bus") == extra.end()) {
            words.insert(words.end(), {"--config", work.Config()});
        } else {
            extra.erase(std::find(extra.begin(), extra.end(), "--example-bus"));
        }
        words.insert(words.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);

        int out[2];
        if (::pipe(out) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            throw std::runtime_error("cannot start fuel-emulator");
        }
        // The first line is the device path; the link is in place before it is printed.
        std::string line;
        char c = 0;
        pollfd waiting{out[0], POLLIN, 0};
        while (::poll(&waiting, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        ::close(out[0]);
        device_ = line;
        if (device_.rfind("/dev/", 0) != 0) {
            Stop();
            throw std::runtime_error("fuel-emulator printed no device path");
        }
    }
    ~EmulatorProcess() { Stop(); }

    const std::string& Device() const { return device_; }
    // The emulator goes away: SIGTERM, and wait for it.
    void Stop() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    std::string device_;
};

struct ProgramRun {
    int status;
    std::string output;
};

// Runs fuelctl with its output and errors captured.
ProgramRun Fuelctl(const std::string& arguments) {
    const std::string command = std::string(FUELCTL_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, "popen failed"};
    }
    std::string output;
    char buffer[512];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

PortMap MapOf(const Workspace& work, int attempts) {
    PortMap map = PortMap::Load(work.Ports());
    PortSettings port = *map.Find(kChannel);
    port.attempts = attempts;
    map.Assign(kChannel, port);
    return map;
}

class SerialEndToEnd : public ::testing::Test {
  protected:
    Workspace work;
    std::unique_ptr<EmulatorProcess> emulator = std::make_unique<EmulatorProcess>(work);
    SerialLink link{MapOf(work, 3)};
    TVM30 driver{kMoneyDoses, &link, ""};

    std::uint8_t Poll() {
        StatusRecordEx record;
        driver.PollDispenserStatusEx(kChannel, kDispenser, 2, record);
        return record.bytes[0];
    }
    double Total() {
        double volume = -1, money = -1;
        driver.GetTotalizer(kChannel, kDispenser, kNozzle, volume, money, 0, 0);
        return volume;
    }
};

TEST_F(SerialEndToEnd, CompleteFillThroughThePseudoTerminal) {
    ASSERT_EQ(driver.InitLink(kChannel), 0) << link.LastProblem(kChannel);
    EXPECT_EQ(Poll(), 200);  // idle
    driver.SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 45.67);
    EXPECT_DOUBLE_EQ(Total(), 1520.00);

    driver.SetVolumeLimit(kChannel, kDispenser, kNozzle, 0, 2.0);
    driver.StartFill(kChannel, kDispenser, kNozzle, 0);
    std::vector<std::uint8_t> codes;
    for (int i = 0; i < 100; ++i) {
        const std::uint8_t code = Poll();
        ASSERT_EQ(driver.LinkState[kChannel], 1);
        if (codes.empty() || codes.back() != code) {
            codes.push_back(code);
        }
        if (code == 208 + kNozzle) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    // Running on nozzle 1, then ended on nozzle 1.
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{216 + kNozzle, 208 + kNozzle}));

    double volume = 0, amount = 0;
    driver.GetFinalDispensedData(kChannel, kDispenser, volume, amount);
    EXPECT_DOUBLE_EQ(volume, 2.0);
    EXPECT_NEAR(amount, 91.34, 1e-9);
    EXPECT_NEAR(Total(), 1522.00, 1e-9);
    // Nothing needed a second attempt on a clean line.
    EXPECT_EQ(link.Counters().retries, 0u);
    EXPECT_EQ(link.Counters().failed, 0u);
}

TEST_F(SerialEndToEnd, EmulatorGoesAwayAndComesBack) {
    ASSERT_EQ(driver.InitLink(kChannel), 0);
    EXPECT_EQ(Poll(), 200);

    emulator->Stop();
    EXPECT_THROW(Poll(), ESerialIO);
    EXPECT_EQ(link.GetChannelError(kChannel), serial_code::kPortUnavailable);
    EXPECT_FALSE(link.IsOpen(kChannel));
    EXPECT_THROW(Poll(), ESerialIO);  // still gone: the reopen fails as cleanly

    // The same driver and link, without a restart, once the line is back.
    emulator = std::make_unique<EmulatorProcess>(work);
    EXPECT_EQ(Poll(), 200);
    EXPECT_EQ(driver.LinkState[kChannel], 1);
    EXPECT_EQ(link.Counters().opens, 2u);
    EXPECT_GE(link.Counters().portFailures, 2u);
}

// ---- The command-line program on the line.

TEST(SerialCommandLine, StatusOverThePort) {
    Workspace work;
    EmulatorProcess emulator(work);
    // The map gives the line's settings, --port the device.
    const ProgramRun run = Fuelctl("status 3 --ports " + work.Ports() + " --port " + work.Line() +
                                   " --config " + work.Config() + " --trace --stats");
    EXPECT_EQ(run.status, 0) << run.output;
    // The mode cell read, then both nozzles' status requests, each answered and accepted.
    EXPECT_NE(run.output.find("-> 48 03 58 39 34 55 45\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("-> 48 03 44 D4 45\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("-> 48 04 44 D5 45\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("nozzle 1  idle"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("link: 3 exchanges, 3 frames sent (0 retries), 3 accepted"),
              std::string::npos)
        << run.output;
}

TEST(SerialCommandLine, FaultInjectedReplyFailsWithoutRetriesAndIsRetriedWithThem) {
    Workspace work;
    {
        // The second request (nozzle 1's status) gets a reply with a wrong checksum.
        EmulatorProcess emulator(work, {"--fault", "checksum@2"});
        const ProgramRun run = Fuelctl("status 3 --ports " + work.Ports() + " --config " +
                                       work.Config() + " --trace --retries 0");
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("rejected 222: wrong checksum"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("(ESerialIO)"), std::string::npos) << run.output;
    }
    EmulatorProcess emulator(work, {"--fault", "checksum@2"});
    const ProgramRun run = Fuelctl("status 3 --ports " + work.Ports() + " --config " +
                                   work.Config() + " --trace --stats --retries 1");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("-> 48 03 44 D4 45   (retry 1)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("1 retries"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("222: 1"), std::string::npos) << run.output;
}

TEST(SerialCommandLine, DemoFillsOverTheLine) {
    Workspace work;
    EmulatorProcess emulator(work, {"--example-bus"});  // the demo's own two dispensers
    const ProgramRun run = Fuelctl("demo --ports " + work.Ports());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("both doses reached"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("dispenser 1 nozzle 1: 8.00 l, amount 365.36"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("(+8.00)"), std::string::npos) << run.output;
}

TEST(SerialCommandLine, MissingPortIsALineFailure) {
    Workspace work;
    const ProgramRun run = Fuelctl("status 3 --port " + work.Line() + " --config " + work.Config());
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(work.Line() + ": cannot open: No such file or directory"),
              std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace fuel::test
