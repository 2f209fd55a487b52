// End to end over a serial line: the driver and the command-line program talk through the
// serial link to the emulator running as its own process on a pseudo-terminal, paced at
// 4800 baud, as they would talk to controllers behind a USB adapter; and to the emulator
// behind an emulated converter's TCP port on the loopback address, as to controllers behind
// a serial-to-Ethernet converter.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/TVM30.h"
#include "link/SerialLink.h"
#include "link/TcpPort.h"
#include "testing/DriverOnSerialLine.h"
#include "testing/EmulatorProcess.h"
#include "testing/LoopbackPort.h"

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
    // A port map of its own, for a line known only once the emulator runs (a TCP port).
    std::string PortsFor(const std::string& device, const std::string& settings) const {
        const std::string path = (dir_ / "other.map").string();
        std::ofstream(path) << "1 " << device << " " << settings << "\n";
        return path;
    }
    std::string Output() const { return (dir_ / "output.txt").string(); }
    std::string File(const std::string& name) const { return (dir_ / name).string(); }

  private:
    static inline int counter_ = 0;
    fs::path dir_;
};

enum class LineKind { Pty, Tcp };

// fuel-emulator serving the workspace's bus on its pseudo-terminal, behind the workspace's
// stable name, or on a TCP port of the loopback address (0: a free one).
EmulatorLaunch Launch(const Workspace& work, std::vector<std::string> extra = {},
                      LineKind kind = LineKind::Pty, std::uint16_t port = 0) {
    EmulatorLaunch launch{.program = FUEL_EMULATOR_PATH, .config = work.Config()};
    if (kind == LineKind::Pty) {
        launch.link = work.Line();
    } else {
        launch.tcpPort = port;
    }
    launch.arguments = {"--turnaround", "2"};
    launch.arguments.insert(launch.arguments.end(), extra.begin(), extra.end());
    return launch;
}

// The same, on the emulator's own bus.
EmulatorLaunch OwnBus(EmulatorLaunch launch) {
    launch.config.reset();
    return launch;
}

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

// The workspace's wide time-outs, on the emulator's line.
PortSettings PortOf(const Workspace& work, const EmulatorProcess& emulator) {
    PortSettings port = *PortMap::Load(work.Ports()).Find(kChannel);
    if (IsTcpDevice(emulator.Device())) {
        port.device = emulator.Device();
    }
    return port;
}

std::string KindName(const ::testing::TestParamInfo<LineKind>& info) {
    return info.param == LineKind::Pty ? "Pty" : "Tcp";
}

// On a pseudo-terminal, and behind a converter's TCP port.
class SerialEndToEnd : public ::testing::TestWithParam<LineKind> {
  protected:
    Workspace work;
    std::unique_ptr<EmulatorProcess> emulator =
        std::make_unique<EmulatorProcess>(Launch(work, {}, GetParam()));
    DriverOnSerialLine line{PortOf(work, *emulator), kMoneyDoses};
    SerialLink& link = line.link;
    TVM30& driver = line.driver;

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

INSTANTIATE_TEST_SUITE_P(Lines, SerialEndToEnd, ::testing::Values(LineKind::Pty, LineKind::Tcp),
                         KindName);

TEST_P(SerialEndToEnd, CompleteFillThroughTheLine) {
    ASSERT_EQ(driver.InitLink(kChannel), 0) << link.LastProblem(kChannel);
    EXPECT_EQ(Poll(), 200);  // idle
    driver.SetPrice(kChannel, kDispenser, kNozzle, 0, 0, 45.67);
    EXPECT_DOUBLE_EQ(Total(), 1520.00);

    driver.SetVolumeLimit(kChannel, kDispenser, kNozzle, 0, 2.0);
    driver.StartFill(kChannel, kDispenser, kNozzle, 0);
    std::vector<std::uint8_t> codes;
    for (int i = 0; i < 100; ++i) {
        const std::uint8_t code = Poll();
        ASSERT_EQ(driver.Tables().LinkState[kChannel], 1);
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

TEST_P(SerialEndToEnd, EmulatorGoesAwayAndComesBack) {
    ASSERT_EQ(driver.InitLink(kChannel), 0);
    EXPECT_EQ(Poll(), 200);

    emulator->Stop();
    EXPECT_THROW(Poll(), ESerialIO);
    EXPECT_EQ(link.GetChannelError(kChannel), line_code::kPortUnavailable);
    EXPECT_FALSE(link.IsOpen(kChannel));
    EXPECT_THROW(Poll(), ESerialIO);  // still gone: the reopen fails as cleanly

    // The same driver and link, without a restart, once the line is back: the same name,
    // or the same port.
    const std::uint16_t port = GetParam() == LineKind::Tcp ? emulator->TcpPort() : 0;
    emulator = std::make_unique<EmulatorProcess>(Launch(work, {}, GetParam(), port));
    EXPECT_EQ(Poll(), 200);
    EXPECT_EQ(driver.Tables().LinkState[kChannel], 1);
    EXPECT_EQ(link.Counters().opens, 2u);
    EXPECT_GE(link.Counters().portFailures, 2u);
}

// ---- The command-line program on the line.

TEST(SerialCommandLine, StatusOverThePort) {
    Workspace work;
    EmulatorProcess emulator(Launch(work));
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
    // On a serial port the bytes' wire time is known, beside the measured time.
    EXPECT_NE(run.output.find("  serial line: "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(" the bytes' own wire time\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("network:"), std::string::npos) << run.output;
}

// A reply in two bursts, as a USB adapter's latency timer or a loaded machine delivers it,
// is taken whole at the first send, at the driver's own settings: a pause that made every
// exchange fail at a station.
TEST(SerialCommandLine, RepliesInBurstsAreAcceptedAtTheFirstSend) {
    Workspace work;
    EmulatorProcess emulator(Launch(work, {"--pause", "6:25"}));
    const ProgramRun run =
        Fuelctl("status 3 --port " + work.Line() + " --config " + work.Config() + " --stats");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("link: 3 exchanges, 3 frames sent (0 retries), 3 accepted"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("short replies: 0"), std::string::npos) << run.output;
}

// ---- Behind a converter's TCP port.

// Waits until the file holds text count times; false after 20 s.
bool WaitForOutput(const std::string& path, const std::string& text, int count) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream file(path);
        const std::string output((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
        int found = 0;
        for (auto at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
            ++found;
        }
        if (found >= count) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(SerialCommandLine, WholeFillThroughAConverter) {
    Workspace work;
    EmulatorProcess emulator(OwnBus(Launch(work, {}, LineKind::Tcp)));
    const ProgramRun run = Fuelctl("demo --stats --ports " +
                                   work.PortsFor(emulator.Device(), "timeout=500 interbyte=200"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("both doses reached"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("dispenser 1 nozzle 1: 3.00 l, amount 137.01"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("(+3.00)"), std::string::npos) << run.output;
    // Only what was measured: no wire time for a line whose settings are the converter's.
    EXPECT_NE(run.output.find("  network: "), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("wire time"), std::string::npos) << run.output;
}

// A session that outlives the converter: the failures while it is off are reported, and the
// next command after it is back succeeds, without a restart.
TEST(SerialCommandLine, ConverterRestartedMidRun) {
    Workspace work;
    auto emulator = std::make_unique<EmulatorProcess>(Launch(work, {}, LineKind::Tcp));
    const std::uint16_t port = emulator->TcpPort();
    const std::string command = std::string(FUELCTL_PATH) + " shell --config " + work.Config() +
                                " --ports " +
                                work.PortsFor(emulator->Device(), "timeout=500 interbyte=200") +
                                " > " + work.Output() + " 2>&1";
    // Close-on-exec: the emulator started later must not hold the shell's input open.
    FILE* shell = ::popen(command.c_str(), "we");
    ASSERT_NE(shell, nullptr);
    const auto send = [&](const char* line) {
        std::fputs(line, shell);
        std::fflush(shell);
    };
    const std::string idle = "dispenser 3 on channel 1: idle";

    send("status 3\n");
    EXPECT_TRUE(WaitForOutput(work.Output(), idle, 1)) << ReadFile(work.Output());
    emulator->Stop();
    send("status 3\n");
    EXPECT_TRUE(WaitForOutput(work.Output(), "Невозможно", 1)) << ReadFile(work.Output());
    send("status 3\n");
    EXPECT_TRUE(WaitForOutput(work.Output(), "Невозможно", 2)) << ReadFile(work.Output());
    emulator = std::make_unique<EmulatorProcess>(Launch(work, {}, LineKind::Tcp, port));
    send("status 3\n");
    EXPECT_TRUE(WaitForOutput(work.Output(), idle, 2)) << ReadFile(work.Output());
    const int status = ::pclose(shell);

    const std::string output = ReadFile(work.Output());
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;  // the worst of the commands
    const std::string address = "tcp://127.0.0.1:" + std::to_string(port);
    EXPECT_NE(output.find("!! " + address + ": the converter closed the connection"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("!! " + address + ": cannot connect: Connection refused"),
              std::string::npos)
        << output;
    // The last command's status came after the failures.
    EXPECT_GT(output.rfind(idle), output.rfind("Невозможно")) << output;
}

// A crash, as the forecourt's recovery tests stage one: the process is gone at once and
// reaped, and its port refuses connections.
TEST(EmulatorProcessTest, KillEndsItAtOnce) {
    Workspace work;
    EmulatorProcess emulator(Launch(work, {}, LineKind::Tcp));
    const pid_t pid = emulator.Pid();
    ASSERT_GT(pid, 0);
    const std::uint16_t port = emulator.TcpPort();
    ASSERT_NE(port, 0);

    emulator.Kill();
    EXPECT_EQ(emulator.Pid(), -1);
    EXPECT_NE(::kill(pid, 0), 0);  // no such process, not even a zombie
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(probe);
    emulator.Stop();  // nothing left to stop
}

TEST(SerialCommandLine, ConverterNobodyListensOnIsALineFailure) {
    Workspace work;
    const std::string device =
        "tcp://127.0.0.1:" + std::to_string(fuel::test::PortNobodyListensOn());

    const auto started = std::chrono::steady_clock::now();
    const ProgramRun run = Fuelctl("status 3 --port " + device + " --config " + work.Config());
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(device + ": cannot connect: Connection refused"), std::string::npos)
        << run.output;
    // Refused at once, well within the connect time-out of each of the two tries.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2 * 1000ms);
}

// A converter serves one client; the emulator turns a second one away rather than leave it
// waiting, and takes the next once the first has gone.
TEST(SerialCommandLine, SecondClientOfTheEmulatedConverterIsTurnedAway) {
    Workspace work;
    EmulatorProcess emulator(Launch(work, {}, LineKind::Tcp));
    const int first = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(emulator.TcpPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(first, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string status =
        "status 3 --config " + work.Config() + " --retries 0 --port " + emulator.Device();

    ProgramRun run = Fuelctl(status);
    EXPECT_EQ(run.status, 1) << run.output;
    // Closed, or reset when our request was already on its way: either way the line failed.
    EXPECT_NE(run.output.find("!! " + emulator.Device() + ": "), std::string::npos) << run.output;
    ::close(first);
    run = Fuelctl(status);
    EXPECT_EQ(run.status, 0) << run.output;
}

TEST(SerialCommandLine, FaultInjectedReplyFailsWithoutRetriesAndIsRetriedWithThem) {
    Workspace work;
    {
        // The second request (nozzle 1's status) gets a reply with a wrong checksum.
        EmulatorProcess emulator(Launch(work, {"--fault", "checksum@2"}));
        const ProgramRun run = Fuelctl("status 3 --ports " + work.Ports() + " --config " +
                                       work.Config() + " --trace --retries 0");
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("rejected 222: wrong checksum"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("(ESerialIO)"), std::string::npos) << run.output;
    }
    EmulatorProcess emulator(Launch(work, {"--fault", "checksum@2"}));
    const ProgramRun run = Fuelctl("status 3 --ports " + work.Ports() + " --config " +
                                   work.Config() + " --trace --stats --retries 1");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("-> 48 03 44 D4 45   (retry 1)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("1 retries"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("222: 1"), std::string::npos) << run.output;
}

// A bench run traced at both ends of a real line: the emulator's trace counts the fault
// where it was injected, the driver's the rejection and the retry it caused, and the
// driver's replays to the same decisions.
TEST(SerialCommandLine, BothEndsTraceAFaultAndTheReplayDecidesAlike) {
    Workspace work;
    const std::string emulatorTrace = work.File("emulator.trace");
    const std::string driverTrace = work.File("driver.trace");
    {
        EmulatorProcess emulator(
            Launch(work, {"--fault", "checksum@2", "--trace-file", emulatorTrace}));
        const ProgramRun run = Fuelctl("status 3 --ports " + work.Ports() + " --config " +
                                       work.Config() + " --retries 1 --trace-file " + driverTrace);
        EXPECT_EQ(run.status, 0) << run.output;
    }
    const ProgramRun served = Fuelctl("trace " + emulatorTrace);
    EXPECT_NE(served.output.find("written by: emulator"), std::string::npos) << served.output;
    EXPECT_NE(served.output.find("dispenser 3: 4 requests served, 0 unanswered"), std::string::npos)
        << served.output;
    EXPECT_NE(served.output.find("    checksum: request 2 (dispenser 3)"), std::string::npos)
        << served.output;

    const ProgramRun sent = Fuelctl("trace " + driverTrace);
    EXPECT_NE(sent.output.find("rejected 222: wrong checksum: 1 (channel 1 dispenser 3: 1)"),
              std::string::npos)
        << sent.output;
    EXPECT_NE(sent.output.find("exchanges: 3, 0 failed, 1 retries after a rejected reply"),
              std::string::npos)
        << sent.output;

    const ProgramRun replay = Fuelctl("replay " + driverTrace);
    EXPECT_EQ(replay.status, 0) << replay.output;
    EXPECT_NE(replay.output.find(": 2 as recorded, 0 otherwise"), std::string::npos)
        << replay.output;
}

TEST(SerialCommandLine, DemoFillsOverTheLine) {
    Workspace work;
    EmulatorProcess emulator(OwnBus(Launch(work)));  // the built-in bus, the demo's
    const ProgramRun run = Fuelctl("demo --ports " + work.Ports());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("both doses reached"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("dispenser 1 nozzle 1: 3.00 l, amount 137.01"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("(+3.00)"), std::string::npos) << run.output;
}

// fuel-emulator without a configuration serves the bus fuelctl takes without one: in every
// refresh, every dispenser of the monitor's table answers.
TEST(SerialCommandLine, MonitorMeetsEveryDispenserOfTheDefaultBus) {
    Workspace work;
    EmulatorProcess emulator(OwnBus(Launch(work)));
    const ProgramRun run = Fuelctl("monitor --refreshes 3 --interval 0.05 --ports " + work.Ports());
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* row :
         {"   1  '1'    idle", "   3  '1'    idle", "   5  0x42   idle", "   7  '0'    none"}) {
        std::size_t rows = 0;
        for (auto at = run.output.find(row); at != std::string::npos;
             at = run.output.find(row, at + 1)) {
            ++rows;
        }
        EXPECT_EQ(rows, 3u) << row << "\n" << run.output;
    }
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
