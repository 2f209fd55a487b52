// The POSIX serial link on a pseudo-terminal pair: the link opens the slave side as it would
// open a USB adapter, and a scripted peer on the master side plays the controller, byte by
// byte and with real gaps, so that time-outs, stale input and vanishing ports are exercised
// through the real termios code. The driver's own exchange and reply check sit on top.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/TVM30.h"
#include "link/SerialLink.h"

namespace fuel::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Dispensing-data request for nozzle code 2, and two different replies to it.
const Bytes kRequest = {0x48, 0x02, 0x55, 0xE4, 0x45};
const Bytes kReply = {0x41, 0x48, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34,
                      0x30, 0x30, 0x30, 0x35, 0x36, 0x37, 0x38, 0x51, 0x45};
const Bytes kOldReply = {0x41, 0x48, 0x39, 0x39, 0x39, 0x39, 0x39, 0x39, 0x39,
                         0x39, 0x39, 0x39, 0x39, 0x39, 0x39, 0x39, 0xAB, 0x45};
// kReply with its last data byte changed: the checksum no longer fits.
const Bytes kBadChecksum = {0x41, 0x48, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34,
                            0x30, 0x30, 0x30, 0x35, 0x36, 0x37, 0x39, 0x51, 0x45};
const Bytes kAcknowledge = {0x41};

constexpr auto kReplyTimeout = 150ms;
constexpr auto kInterByte = 60ms;
// Far enough past the time-outs that a loaded machine cannot blur the difference.
constexpr auto kLate = 400ms;

// What the controller does after one request: pieces of its reply, each after a pause.
struct Chunk {
    std::chrono::milliseconds pause;
    Bytes bytes;
};
using Answer = std::vector<Chunk>;  // empty: silence

Answer Whole(const Bytes& bytes, std::chrono::milliseconds pause = 0ms) {
    return {Chunk{pause, bytes}};
}

Answer OneByteAtATime(const Bytes& bytes, std::chrono::milliseconds gap) {
    Answer answer;
    for (const std::uint8_t b : bytes) {
        answer.push_back(Chunk{gap, {b}});
    }
    return answer;
}

// The controller's end of the line: the master side of a pseudo-terminal, answering each
// request of kRequest's length with the next scripted answer (silence when none is left).
class PtyPeer {
  public:
    PtyPeer() {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        master_ = master;
        slave_ = slave;
        path_ = ::ttyname(slave);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~PtyPeer() { Unplug(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& Path() const { return path_; }
    void Queue(Answer answer) {
        std::lock_guard lock(mutex_);
        answers_.push_back(std::move(answer));
    }
    std::vector<Bytes> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Bytes that were on the line before the request; returns once the link's side holds them.
    void SendStale(const Bytes& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        for (int i = 0; i < 1000; ++i) {
            int queued = 0;
            ::ioctl(slave_, FIONREAD, &queued);
            if (queued >= static_cast<int>(bytes.size())) {
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
        FAIL() << "stale bytes never reached the slave side";
    }
    // The slave side's line settings, as the link left them.
    termios Settings() const {
        termios tio{};
        ::tcgetattr(slave_, &tio);
        return tio;
    }
    // The adapter is pulled out: both ends close, the device node goes away.
    void Unplug() {
        if (master_ < 0) {
            return;
        }
        stop_ = true;
        thread_.join();
        ::close(master_);
        ::close(slave_);
        master_ = slave_ = -1;
    }

  private:
    void Run() {
        Bytes pending;
        while (!stop_) {
            pollfd waiting{master_, POLLIN, 0};
            if (::poll(&waiting, 1, 5) <= 0) {
                continue;
            }
            std::uint8_t buffer[256];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) {
                continue;
            }
            pending.insert(pending.end(), buffer, buffer + got);
            while (pending.size() >= kRequest.size()) {
                Answer answer;
                {
                    std::lock_guard lock(mutex_);
                    requests_.emplace_back(pending.begin(), pending.begin() + 5);
                    if (!answers_.empty()) {
                        answer = std::move(answers_.front());
                        answers_.pop_front();
                    }
                }
                pending.erase(pending.begin(), pending.begin() + 5);
                for (const Chunk& chunk : answer) {
                    std::this_thread::sleep_for(chunk.pause);
                    if (::write(master_, chunk.bytes.data(), chunk.bytes.size()) < 0) {
                        return;
                    }
                }
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::deque<Answer> answers_;
    std::vector<Bytes> requests_;
};

// The device the link is told about is a symbolic link, as udev gives adapters stable
// names; re-pointing it is how a replugged adapter "comes back" under the same name.
class DeviceName {
  public:
    DeviceName()
        : dir_(std::filesystem::temp_directory_path() /
               ("serial-link-test-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter_++))) {
        std::filesystem::create_directories(dir_);
    }
    ~DeviceName() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string Path() const { return (dir_ / "ttyLINE").string(); }
    void PointAt(const std::string& device) {
        std::filesystem::remove(Path());
        std::filesystem::create_symlink(device, Path());
    }

  private:
    static inline int counter_ = 0;
    std::filesystem::path dir_;
};

PortSettings Settings(const std::string& device, int attempts) {
    PortSettings port;
    port.device = device;
    port.replyTimeout = kReplyTimeout;
    port.interByteTimeout = kInterByte;
    port.attempts = attempts;
    return port;
}

class SerialLinkTest : public ::testing::Test {
  protected:
    void Connect(PortSettings settings) {
        name.PointAt(peer->Path());
        PortMap map;
        map.Assign(1, std::move(settings));
        link = std::make_unique<SerialLink>(std::move(map));
        driver = std::make_unique<TVM30>(0, link.get(), "");
    }
    void Connect(int attempts) { Connect(Settings(name.Path(), attempts)); }

    // One dispensing-data exchange through the driver; the reply lands in buffer.
    std::int32_t Exchange() {
        buffer = {0x02, 'U'};
        return driver->Exchange(1, buffer, 2, 18);
    }
    Bytes Reply() const { return Bytes(buffer.begin(), buffer.begin() + 18); }

    DeviceName name;
    std::unique_ptr<PtyPeer> peer = std::make_unique<PtyPeer>();
    std::unique_ptr<SerialLink> link;
    std::unique_ptr<TVM30> driver;
    CommandBuffer buffer{};
};

// ---- One exchange against a scripted controller.

struct ExchangeCase {
    const char* name;
    int attempts;
    std::vector<Answer> answers;
    std::int32_t result;
    std::size_t requests;  // frames the controller saw
    std::uint8_t linkState;
};

class SerialExchangeTest : public SerialLinkTest,
                           public ::testing::WithParamInterface<ExchangeCase> {};

const ExchangeCase kExchangeCases[] = {
    {"WholeReply", 1, {Whole(kReply)}, 0, 1, 1},
    {"SplitIntoSingleBytes", 1, {OneByteAtATime(kReply, 3ms)}, 0, 1, 1},
    {"AnswerWithinTheReplyTimeout", 1, {Whole(kReply, 40ms)}, 0, 1, 1},
    // The last byte comes after the line fell quiet: the reply is judged without it.
    {"LateBytePastInterByteTimeout",
     1,
     {{Chunk{0ms, Bytes(kReply.begin(), kReply.end() - 1)}, Chunk{kLate, {0x45}}}},
     reply_code::kNoEnd,
     1,
     3},
    // The straggler comes while the retry waits for a quiet line, and is dropped.
    {"LateByteThenARetryIsAnswered",
     2,
     {{Chunk{0ms, Bytes(kReply.begin(), kReply.end() - 1)}, Chunk{kInterByte + 50ms, {0x45}}},
      Whole(kReply)},
     0,
     2,
     1},
    {"Silence", 2, {}, serial_code::kSilence, 2, 3},
    {"AnswerAfterTheReplyTimeoutIsSilence", 1, {Whole(kReply, kLate)}, serial_code::kSilence, 1, 3},
    {"RejectedThenAccepted", 3, {Whole(kBadChecksum), Whole(kReply)}, 0, 2, 1},
    {"RejectedEveryTime",
     3,
     {Whole(kBadChecksum), Whole(kBadChecksum), Whole(kBadChecksum)},
     reply_code::kBadChecksum,
     3,
     3},
    {"OnlyAcknowledgeWhereDataWasAsked",
     1,
     {Whole(kAcknowledge)},
     reply_code::kOnlyAcknowledge,
     1,
     3},
    {"SilenceThenRejectedReportsTheRejection",
     2,
     {{}, Whole(kBadChecksum)},
     reply_code::kBadChecksum,
     2,
     3},
};

TEST_P(SerialExchangeTest, ResultRequestsAndState) {
    const ExchangeCase& c = GetParam();
    for (const Answer& answer : c.answers) {
        peer->Queue(answer);
    }
    Connect(c.attempts);

    const std::int32_t result = Exchange();
    EXPECT_EQ(result, c.result) << link->LastProblem(1);
    EXPECT_EQ(driver->LinkState[1], c.linkState);
    EXPECT_EQ(link->GetChannelError(1), c.result);
    // The controller saw our frame exactly, once per attempt.
    EXPECT_EQ(peer->Requests(), std::vector<Bytes>(c.requests, kRequest));
    if (result == 0) {
        EXPECT_EQ(Reply(), kReply);
    }
}

INSTANTIATE_TEST_SUITE_P(Scripted, SerialExchangeTest, ::testing::ValuesIn(kExchangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Replies in bursts, on the driver's own settings or a port map's reply time-out alone.

struct BurstCase {
    const char* name;
    std::chrono::milliseconds replyTimeout;  // 0: the driver's own, from InitLink
    std::chrono::milliseconds pause;         // after the reply's first six bytes
    std::int32_t result;
};

class SerialBurstTest : public SerialLinkTest, public ::testing::WithParamInterface<BurstCase> {};

const BurstCase kBurstCases[] = {
    // A USB adapter's latency timer, and a loaded machine on top, at the driver's 75 ms.
    {"Pause15OnTheDriverTimeout", 0ms, 15ms, 0},
    {"Pause40OnTheDriverTimeout", 0ms, 40ms, 0},
    // The gap follows a port map's reply time-out when no interbyte= is given.
    {"Pause70OnA300Timeout", 300ms, 70ms, 0},
    {"Pause200OnA300Timeout", 300ms, 200ms, 0},
    // Quiet for longer than the reply time-out: the reply ends there, short.
    {"PauseLongerThanTheTimeoutCutsTheReply", kReplyTimeout, kLate, reply_code::kNoEnd},
};

TEST_P(SerialBurstTest, AcceptedAtTheFirstAttemptWhileThePauseIsWithinTheTimeout) {
    const BurstCase& c = GetParam();
    PortSettings port;
    port.device = name.Path();
    port.attempts = 1;
    if (c.replyTimeout != 0ms) {
        port.replyTimeout = c.replyTimeout;
    }
    Connect(port);
    ASSERT_EQ(driver->InitLink(1), 0) << link->LastProblem(1);
    peer->Queue({Chunk{0ms, Bytes(kReply.begin(), kReply.begin() + 6)},
                 Chunk{c.pause, Bytes(kReply.begin() + 6, kReply.end())}});

    EXPECT_EQ(Exchange(), c.result);
    EXPECT_EQ(link->Counters().attempts, 1u);
    EXPECT_EQ(link->Counters().shortReplies, c.result == 0 ? 0u : 1u);
    if (c.result == 0) {
        EXPECT_EQ(Reply(), kReply);
    }
}

INSTANTIATE_TEST_SUITE_P(Paused, SerialBurstTest, ::testing::ValuesIn(kBurstCases),
                         [](const auto& info) { return std::string(info.param.name); });

// On the driver's own settings a controller that answers only 'A', or nothing, fails as it
// always did, after the waits the README gives: three sends, each waiting out the gap after
// the 'A' (or the reply time-out after the frame's 10.4 ms), with a quiet line of one gap
// before each retry. Only a bound far above that is checked: a loaded machine adds its own.
struct FailureCase {
    const char* name;
    Answer answer;
    std::int32_t result;
    std::chrono::milliseconds least;
};

class SerialFailureTimeTest : public SerialLinkTest,
                              public ::testing::WithParamInterface<FailureCase> {};

const FailureCase kFailureCases[] = {
    {"OnlyAcknowledge", Whole(kAcknowledge), reply_code::kOnlyAcknowledge, 3 * 82ms + 2 * 82ms},
    {"Silence", {}, serial_code::kSilence, 3 * 85ms + 2 * 82ms},
};

TEST_P(SerialFailureTimeTest, FailsAfterThreeSendsWithinTheDocumentedTime) {
    const FailureCase& c = GetParam();
    PortSettings port;
    port.device = name.Path();  // three sends, the driver's time-outs
    Connect(port);
    ASSERT_EQ(driver->InitLink(1), 0) << link->LastProblem(1);
    for (int i = 0; i < 3; ++i) {
        peer->Queue(c.answer);
    }

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(), c.result);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(peer->Requests().size(), 3u);
    EXPECT_EQ(driver->LinkState[1], 3);
    EXPECT_GE(took, c.least);
    EXPECT_LT(took, c.least + 1000ms);
}

INSTANTIATE_TEST_SUITE_P(DriverTimeouts, SerialFailureTimeTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Stale input.

TEST_F(SerialLinkTest, StaleBytesBeforeTheRequestAreNotTakenForTheReply) {
    Connect(1);
    ASSERT_EQ(link->ConfigureLine(1, 75, 4800), 0);  // opens the port
    // A complete, valid reply to an earlier request is already waiting on the line.
    peer->SendStale(kOldReply);
    peer->Queue(Whole(kReply, 20ms));

    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(), kReply);
}

TEST_F(SerialLinkTest, SurplusBytesOfOneReplyDoNotLeakIntoTheNext) {
    Connect(1);
    Bytes doubled = kOldReply;
    doubled.insert(doubled.end(), kOldReply.begin(), kOldReply.end());
    peer->Queue(Whole(doubled));
    peer->Queue(Whole(kReply, 20ms));

    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(), kOldReply);
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(), kReply);
}

// A short but well-formed frame passes the reply check; the places past it, where the
// driver reads its fields, must not still hold the rejected first attempt's bytes.
TEST_F(SerialLinkTest, ShortReplyAfterARejectedOneLeavesNoStaleBytes) {
    Connect(2);
    peer->Queue(Whole(kBadChecksum));
    peer->Queue(Whole({0x41, 0x48, 0x02, 0x55, 0xE4, 0x45}));

    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(),
              (Bytes{0x41, 0x48, 0x02, 0x55, 0xE4, 0x45, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(link->Counters().shortReplies, 1u);
}

// ---- Line settings.

TEST_F(SerialLinkTest, DriverSettingsReachThePort) {
    PortSettings port;
    port.device = name.Path();
    port.attempts = 1;
    Connect(port);  // no overrides: the driver's 75 ms and 4800 baud hold
    ASSERT_EQ(driver->InitLink(1), 0);

    const termios tio = peer->Settings();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B4800));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);  // raw: no line editing, no echo

    // 75 ms is the reply time-out: a controller answering after 40 ms is heard, one
    // answering after 400 ms is not.
    peer->Queue(Whole(kReply, 40ms));
    EXPECT_EQ(Exchange(), 0);
    peer->Queue(Whole(kReply, kLate));
    EXPECT_EQ(Exchange(), serial_code::kSilence);
}

TEST_F(SerialLinkTest, PortMapOverridesTheDriverSettings) {
    // A pseudo-terminal keeps the baud rate and the stop bits but forces 8 bits without
    // parity, so only those two can be seen here.
    PortSettings port = Settings(name.Path(), 1);
    port.baudRate = 9600;
    port.stopBits = 2;
    Connect(port);
    ASSERT_EQ(driver->InitLink(1), 0) << link->LastProblem(1);

    const termios tio = peer->Settings();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST_F(SerialLinkTest, UnsupportedBaudRateIsRefused) {
    Connect(1);
    EXPECT_EQ(link->ConfigureLine(1, 75, 12345), serial_code::kBadSettings);
    EXPECT_NE(link->LastProblem(1).find("unsupported baud rate 12345"), std::string::npos)
        << link->LastProblem(1);
    EXPECT_FALSE(link->IsOpen(1));
}

TEST_F(SerialLinkTest, ChannelWithoutAPortFailsWithoutSending) {
    Connect(1);
    buffer = {0x02, 'U'};
    EXPECT_EQ(driver->Exchange(2, buffer, 2, 18), serial_code::kNoPort);
    EXPECT_EQ(driver->LinkState[2], 3);
    EXPECT_TRUE(peer->Requests().empty());
}

// ---- A port that goes away and comes back.

struct CountingInitializer {
    SerialLink* link = nullptr;
    int calls = 0;
    static std::int32_t Routine(void* object, std::uint32_t channel) {
        auto* self = static_cast<CountingInitializer*>(object);
        ++self->calls;
        return self->link->ConfigureLine(channel, 75, 4800);
    }
};

TEST_F(SerialLinkTest, UnpluggedPortFailsCleanlyAndIsReopenedLater) {
    Connect(3);
    CountingInitializer initializer{link.get()};
    link->SetLineInitializer(1, LineInitializer{&CountingInitializer::Routine, &initializer});
    peer->Queue(Whole(kReply));
    ASSERT_EQ(Exchange(), 0);
    EXPECT_EQ(initializer.calls, 1);  // the first open ran it

    peer->Unplug();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(), serial_code::kPortUnavailable);
    // A vanished port is not silence: no retries, no waiting out the time-outs.
    EXPECT_LT(std::chrono::steady_clock::now() - before, kReplyTimeout);
    EXPECT_EQ(driver->LinkState[1], 3);
    EXPECT_FALSE(link->IsOpen(1));

    // Still unplugged: the reopen fails, and says why.
    EXPECT_EQ(Exchange(), serial_code::kPortUnavailable);
    EXPECT_NE(link->LastProblem(1).find("cannot open"), std::string::npos) << link->LastProblem(1);
    EXPECT_EQ(initializer.calls, 1);

    // Plugged in again under the same name.
    peer = std::make_unique<PtyPeer>();
    name.PointAt(peer->Path());
    peer->Queue(Whole(kReply));
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(), kReply);
    EXPECT_EQ(driver->LinkState[1], 1);
    EXPECT_EQ(initializer.calls, 2);  // the line was set up again after the reopen
    EXPECT_EQ(peer->Requests(), std::vector<Bytes>{kRequest});
    EXPECT_EQ(link->Counters().portFailures, 2u);
}

// ---- The port map's text form.

TEST(PortMapTest, ReadsChannelsDevicesAndSettings) {
    const PortMap map = PortMap::Parse(
        "# channel device settings\n"
        "1 /dev/ttyUSB0\n"
        "\n"
        "  7\tCOM3  baud=9600 timeout=100 interbyte=30 data=7 parity=even stop=2 attempts=2 "
        "# spare\n");
    ASSERT_EQ(map.Entries().size(), 2u);
    const PortSettings* first = map.Find(1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->device, "/dev/ttyUSB0");
    EXPECT_FALSE(first->baudRate);
    EXPECT_FALSE(first->replyTimeout);
    EXPECT_EQ(first->attempts, 3);
    const PortSettings* seventh = map.Find(7);
    ASSERT_NE(seventh, nullptr);
    EXPECT_EQ(seventh->device, "COM3");
    EXPECT_EQ(seventh->baudRate, 9600u);
    EXPECT_EQ(seventh->replyTimeout, 100ms);
    EXPECT_EQ(seventh->interByteTimeout, 30ms);
    EXPECT_EQ(seventh->dataBits, 7);
    EXPECT_EQ(seventh->parity, Parity::Even);
    EXPECT_EQ(seventh->stopBits, 2);
    EXPECT_EQ(seventh->attempts, 2);
    EXPECT_EQ(map.Find(2), nullptr);
}

struct BadMap {
    const char* text;
    const char* message;
};

class PortMapRefusalTest : public ::testing::TestWithParam<BadMap> {};

TEST_P(PortMapRefusalTest, NamesTheLineAndTheFault) {
    try {
        PortMap::Parse(GetParam().text);
        FAIL() << "accepted";
    } catch (const PortMapError& error) {
        EXPECT_STREQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Refused, PortMapRefusalTest,
    ::testing::Values(
        BadMap{"33 /dev/ttyS0", "port map line 1: \"33\" is not a channel 1..32"},
        BadMap{"0 /dev/ttyS0", "port map line 1: \"0\" is not a channel 1..32"},
        BadMap{"\n1", "port map line 2: channel 1 has no device"},
        BadMap{"1 a\n1 b", "port map line 2: channel 1 is mapped twice"},
        BadMap{"1 a baud=fast", "port map line 1: baud=fast: expected a baud rate such as 4800"},
        BadMap{"1 a timeout=0", "port map line 1: timeout=0: expected milliseconds, 1 to 60000"},
        BadMap{"1 a parity=mark", "port map line 1: parity=mark: expected none, even or odd"},
        BadMap{"1 a attempts=11",
               "port map line 1: attempts=11: expected 1 to 10 sends per exchange"},
        BadMap{"1 a speed=9600",
               "port map line 1: unknown setting \"speed\" (known: baud, timeout, interbyte, data, "
               "parity, stop, attempts)"},
        BadMap{"1 a 9600", "port map line 1: \"9600\" is not a key=value setting"}));

TEST(SerialTimingTest, WireTimeAndInterByteDefault) {
    // 18 bytes at 4800 baud, 8N1: 180 bits, 37.5 ms.
    EXPECT_EQ(WireTime(18, LineSettings{}), 37500us);
    // 7E2 is 11 bits a byte.
    EXPECT_EQ(WireTime(1,
                       LineSettings{
                           .baudRate = 1100, .dataBits = 7, .parity = Parity::Even, .stopBits = 2}),
              10000us);
    // The reply time-out, and three characters on top: 6.25 ms at 4800 baud, 50 ms at 600.
    EXPECT_EQ(DefaultInterByteTimeout(75ms, 4800), 82ms);
    EXPECT_EQ(DefaultInterByteTimeout(75ms, 600), 125ms);
    EXPECT_EQ(DefaultInterByteTimeout(500ms, 4800), 507ms);
}

}  // namespace
}  // namespace fuel::test
