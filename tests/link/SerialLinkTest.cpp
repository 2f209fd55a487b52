// The POSIX serial link on a pseudo-terminal pair: the link opens the slave side as it would
// open a USB adapter, and a scripted peer on the master side plays the controller, byte by
// byte and with real gaps, so that time-outs, stale input and vanishing ports are exercised
// through the real termios code. The driver's own exchange and reply check sit on top.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
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
#include "link/TcpPort.h"
#include "testing/PseudoTerminal.h"

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

// The controller's end of the line, answering each request of kRequest's length with the
// next scripted answer (silence when none is left): the master side of a pseudo-terminal
// (PtyPeer), or a converter's TCP port on the loopback address (TcpPeer).
class ScriptedPeer {
  public:
    virtual ~ScriptedPeer() = default;

    // What the link opens: a device path, or tcp://127.0.0.1:PORT.
    virtual std::string Device() const = 0;
    // Bytes that were on the line before the request; returns once the link's side holds them.
    virtual void SendStale(const Bytes& bytes) = 0;
    // The line goes away: an adapter pulled out, a converter switched off.
    virtual void Unplug() = 0;

    void Queue(Answer answer) {
        std::lock_guard lock(mutex_);
        answers_.push_back(std::move(answer));
    }
    std::vector<Bytes> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  protected:
    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }

    // Where requests come from and answers go; -1 while a TCP peer has no client.
    std::atomic<int> line_{-1};
    // A TCP peer's listening socket: each connection it accepts becomes the line.
    int listener_ = -1;

  private:
    void Run() {
        Bytes pending;
        while (!stop_) {
            std::array<pollfd, 2> waiting{pollfd{line_, POLLIN, 0}, pollfd{listener_, POLLIN, 0}};
            if (::poll(waiting.data(), waiting.size(), 5) <= 0) {
                continue;
            }
            if ((waiting[1].revents & POLLIN) != 0) {
                const int accepted = ::accept(listener_, nullptr, nullptr);
                if (line_ >= 0) {
                    ::close(line_);
                }
                line_ = accepted;
                pending.clear();
                continue;
            }
            if (waiting[0].revents == 0) {
                continue;
            }
            std::uint8_t buffer[256];
            const ssize_t got = ::read(line_, buffer, sizeof buffer);
            if (got == 0 && listener_ >= 0) {
                // The link closed its connection.
                ::close(line_);
                line_ = -1;
                continue;
            }
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
                    const ssize_t sent =
                        listener_ >= 0
                            ? ::send(line_, chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL)
                            : ::write(line_, chunk.bytes.data(), chunk.bytes.size());
                    if (sent < 0) {
                        break;
                    }
                }
            }
        }
    }

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::deque<Answer> answers_;
    std::vector<Bytes> requests_;
};

class PtyPeer final : public ScriptedPeer {
  public:
    PtyPeer() {
        const PseudoTerminal pair = OpenRawPseudoTerminal();
        line_ = pair.master;
        slave_ = pair.slave;
        path_ = pair.path;
        ::fcntl(line_, F_SETFL, ::fcntl(line_, F_GETFL) | O_NONBLOCK);
        Start();
    }
    ~PtyPeer() override { Unplug(); }

    std::string Device() const override { return path_; }
    void SendStale(const Bytes& bytes) override {
        ASSERT_EQ(::write(line_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
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
    // Both ends close, the device node goes away.
    void Unplug() override {
        if (slave_ < 0) {
            return;
        }
        Stop();
        ::close(line_);
        ::close(slave_);
        line_ = slave_ = -1;
    }

  private:
    int slave_ = -1;
    std::string path_;
};

class TcpPeer final : public ScriptedPeer {
  public:
    // port 0: a free one; else the port of a converter that is back.
    explicit TcpPeer(std::uint16_t port = 0) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ::close(listener_);
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        Start();
    }
    ~TcpPeer() override { Unplug(); }

    std::uint16_t Port() const { return port_; }
    std::string Device() const override { return "tcp://127.0.0.1:" + std::to_string(port_); }
    void SendStale(const Bytes& bytes) override {
        for (int i = 0; i < 5000 && line_ < 0; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_GE(line_, 0) << "the link never connected";
        ASSERT_EQ(::send(line_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        // Acknowledged by the link's side: in its receive queue.
        for (int i = 0; i < 1000; ++i) {
            int unacknowledged = 0;
            ::ioctl(line_, SIOCOUTQ, &unacknowledged);
            if (unacknowledged == 0) {
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
        FAIL() << "stale bytes never reached the link's side";
    }
    // The connection and the listening port close: connecting is refused from now on.
    void Unplug() override {
        if (listener_ < 0) {
            return;
        }
        Stop();
        if (line_ >= 0) {
            ::close(line_);
        }
        ::close(listener_);
        line_ = listener_ = -1;
    }

  private:
    std::uint16_t port_ = 0;
};

enum class LineKind { Pty, Tcp };

std::string KindName(LineKind kind) {
    return kind == LineKind::Pty ? "Pty" : "Tcp";
}

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
    port.retry.attempts = attempts;
    return port;
}

class SerialLinkTest : public ::testing::Test {
  protected:
    // The line the next Connect uses: a pseudo-terminal unless told otherwise.
    void UseLine(LineKind kind) {
        kind_ = kind;
        if (kind == LineKind::Tcp) {
            peer = std::make_unique<TcpPeer>();
        }
    }
    // What the port map names: a stable name for a pseudo-terminal, the address for TCP.
    std::string Device() const { return kind_ == LineKind::Pty ? name.Path() : peer->Device(); }
    void Connect(PortSettings settings) {
        if (kind_ == LineKind::Pty) {
            name.PointAt(peer->Device());
        }
        PortMap map;
        map.Assign(1, std::move(settings));
        link = std::make_unique<SerialLink>(std::move(map));
        driver = std::make_unique<TVM30>(0, link.get(), "");
    }
    void Connect(int attempts) { Connect(Settings(Device(), attempts)); }
    PtyPeer& Pty() { return dynamic_cast<PtyPeer&>(*peer); }
    // The line comes back where it was: an adapter under the same name, a converter on the
    // same port.
    void Replug() {
        if (kind_ == LineKind::Pty) {
            peer = std::make_unique<PtyPeer>();
            name.PointAt(peer->Device());
            return;
        }
        const std::uint16_t port = dynamic_cast<TcpPeer&>(*peer).Port();
        peer.reset();
        peer = std::make_unique<TcpPeer>(port);
    }

    // One dispensing-data exchange through the driver; the reply lands in buffer.
    std::int32_t Exchange() {
        buffer = {0x02, 'U'};
        return driver->Exchange(1, buffer, 2, 18);
    }
    Bytes Reply() const { return Bytes(buffer.begin(), buffer.begin() + 18); }

    LineKind kind_ = LineKind::Pty;
    DeviceName name;
    std::unique_ptr<ScriptedPeer> peer = std::make_unique<PtyPeer>();
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

// Every case on both kinds of line: a serial port and a converter's TCP port.
template <typename Case>
class OnEachLine : public SerialLinkTest,
                   public ::testing::WithParamInterface<std::tuple<LineKind, Case>> {
  protected:
    const Case& TheCase() {
        UseLine(std::get<0>(this->GetParam()));
        return std::get<1>(this->GetParam());
    }
};

template <typename Case, std::size_t N>
auto OnEachLineCases(const Case (&cases)[N]) {
    return ::testing::Combine(::testing::Values(LineKind::Pty, LineKind::Tcp),
                              ::testing::ValuesIn(cases));
}

struct CaseName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return KindName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    }
};

using SerialExchangeTest = OnEachLine<ExchangeCase>;

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
    {"Silence", 2, {}, line_code::kSilence, 2, 3},
    {"AnswerAfterTheReplyTimeoutIsSilence", 1, {Whole(kReply, kLate)}, line_code::kSilence, 1, 3},
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
    const ExchangeCase& c = TheCase();
    for (const Answer& answer : c.answers) {
        peer->Queue(answer);
    }
    Connect(c.attempts);

    const std::int32_t result = Exchange();
    EXPECT_EQ(result, c.result) << link->LastProblem(1);
    EXPECT_EQ(driver->Tables().LinkState[1], c.linkState);
    EXPECT_EQ(link->GetChannelError(1), c.result);
    // The controller saw our frame exactly, once per attempt.
    EXPECT_EQ(peer->Requests(), std::vector<Bytes>(c.requests, kRequest));
    if (result == 0) {
        EXPECT_EQ(Reply(), kReply);
    }
}

INSTANTIATE_TEST_SUITE_P(Scripted, SerialExchangeTest, OnEachLineCases(kExchangeCases), CaseName());

// ---- Replies in bursts, on the driver's own settings or a port map's reply time-out alone.

struct BurstCase {
    const char* name;
    std::chrono::milliseconds replyTimeout;  // 0: the driver's own, from InitLink
    std::chrono::milliseconds pause;         // after the reply's first six bytes
    std::int32_t result;
};

using SerialBurstTest = OnEachLine<BurstCase>;

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
    const BurstCase& c = TheCase();
    PortSettings port;
    port.device = Device();
    port.retry.attempts = 1;
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

INSTANTIATE_TEST_SUITE_P(Paused, SerialBurstTest, OnEachLineCases(kBurstCases), CaseName());

// On the driver's own settings a controller that answers only 'A', or nothing, fails as it
// always did, after the waits docs/line.md gives: three sends, each waiting out the gap after
// the 'A' (or the reply time-out after the frame's 10.4 ms), with a quiet line of one gap
// before each retry. Only a bound far above that is checked: a loaded machine adds its own.
struct FailureCase {
    const char* name;
    Answer answer;
    std::int32_t result;
    std::chrono::milliseconds least;
};

using SerialFailureTimeTest = OnEachLine<FailureCase>;

const FailureCase kFailureCases[] = {
    {"OnlyAcknowledge", Whole(kAcknowledge), reply_code::kOnlyAcknowledge, 3 * 82ms + 2 * 82ms},
    {"Silence", {}, line_code::kSilence, 3 * 85ms + 2 * 82ms},
};

TEST_P(SerialFailureTimeTest, FailsAfterThreeSendsWithinTheDocumentedTime) {
    const FailureCase& c = TheCase();
    PortSettings port;
    port.device = Device();  // three sends, the driver's time-outs
    Connect(port);
    ASSERT_EQ(driver->InitLink(1), 0) << link->LastProblem(1);
    for (int i = 0; i < 3; ++i) {
        peer->Queue(c.answer);
    }

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(), c.result);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(peer->Requests().size(), 3u);
    EXPECT_EQ(driver->Tables().LinkState[1], 3);
    EXPECT_GE(took, c.least);
    EXPECT_LT(took, c.least + 1000ms);
}

INSTANTIATE_TEST_SUITE_P(DriverTimeouts, SerialFailureTimeTest, OnEachLineCases(kFailureCases),
                         CaseName());

// ---- Stale input, and a line that goes away, on both kinds of line.

class SerialLineTest : public SerialLinkTest, public ::testing::WithParamInterface<LineKind> {
  protected:
    void SetUp() override { UseLine(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Lines, SerialLineTest, ::testing::Values(LineKind::Pty, LineKind::Tcp),
                         [](const auto& info) { return KindName(info.param); });

TEST_P(SerialLineTest, StaleBytesBeforeTheRequestAreNotTakenForTheReply) {
    Connect(1);
    ASSERT_EQ(link->ConfigureLine(1, 75, 4800), 0);  // opens the port
    // A complete, valid reply to an earlier request is already waiting on the line.
    peer->SendStale(kOldReply);
    peer->Queue(Whole(kReply, 20ms));

    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(), kReply);
}

TEST_P(SerialLineTest, SurplusBytesOfOneReplyDoNotLeakIntoTheNext) {
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

// ---- Line settings.

TEST_F(SerialLinkTest, DriverSettingsReachThePort) {
    PortSettings port;
    port.device = name.Path();
    port.retry.attempts = 1;
    Connect(port);  // no overrides: the driver's 75 ms and 4800 baud hold
    ASSERT_EQ(driver->InitLink(1), 0);

    const termios tio = Pty().Settings();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B4800));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);  // raw: no line editing, no echo

    // 75 ms is the reply time-out: a controller answering after 40 ms is heard, one
    // answering after 400 ms is not.
    peer->Queue(Whole(kReply, 40ms));
    EXPECT_EQ(Exchange(), 0);
    peer->Queue(Whole(kReply, kLate));
    EXPECT_EQ(Exchange(), line_code::kSilence);
}

TEST_F(SerialLinkTest, PortMapOverridesTheDriverSettings) {
    // A pseudo-terminal keeps the baud rate and the stop bits but forces 8 bits without
    // parity, so only those two can be seen here.
    PortSettings port = Settings(name.Path(), 1);
    port.baudRate = 9600;
    port.stopBits = 2;
    Connect(port);
    ASSERT_EQ(driver->InitLink(1), 0) << link->LastProblem(1);

    const termios tio = Pty().Settings();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST_F(SerialLinkTest, UnsupportedBaudRateIsRefused) {
    Connect(1);
    EXPECT_EQ(link->ConfigureLine(1, 75, 12345), line_code::kBadSettings);
    EXPECT_NE(link->LastProblem(1).find("unsupported baud rate 12345"), std::string::npos)
        << link->LastProblem(1);
    EXPECT_FALSE(link->IsOpen(1));
}

TEST_F(SerialLinkTest, ChannelWithoutAPortFailsWithoutSending) {
    Connect(1);
    buffer = {0x02, 'U'};
    EXPECT_EQ(driver->Exchange(2, buffer, 2, 18), line_code::kNoPort);
    EXPECT_EQ(driver->Tables().LinkState[2], 3);
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

TEST_P(SerialLineTest, UnpluggedPortFailsCleanlyAndIsReopenedLater) {
    Connect(3);
    CountingInitializer initializer{link.get()};
    link->SetLineInitializer(1, LineInitializer{&CountingInitializer::Routine, &initializer});
    peer->Queue(Whole(kReply));
    ASSERT_EQ(Exchange(), 0);
    EXPECT_EQ(initializer.calls, 1);  // the first open ran it

    peer->Unplug();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(), line_code::kPortUnavailable);
    // A vanished port is not silence: no retries, no waiting out the time-outs.
    EXPECT_LT(std::chrono::steady_clock::now() - before, kReplyTimeout);
    EXPECT_EQ(driver->Tables().LinkState[1], 3);
    EXPECT_FALSE(link->IsOpen(1));
    EXPECT_EQ(link->Counters().attempts, 1u);  // nothing was sent on the vanished line

    // Still unplugged: the reopen fails, and says why.
    EXPECT_EQ(Exchange(), line_code::kPortUnavailable);
    const char* why = GetParam() == LineKind::Pty ? ": cannot open" : ": cannot connect";
    EXPECT_NE(link->LastProblem(1).find(Device() + why), std::string::npos) << link->LastProblem(1);
    EXPECT_EQ(initializer.calls, 1);

    // Plugged in again under the same name, or switched on again.
    Replug();
    peer->Queue(Whole(kReply));
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Reply(), kReply);
    EXPECT_EQ(driver->Tables().LinkState[1], 1);
    EXPECT_EQ(initializer.calls, 2);  // the line was set up again after the reopen
    EXPECT_EQ(peer->Requests(), std::vector<Bytes>{kRequest});
    EXPECT_EQ(link->Counters().portFailures, 2u);
}

// The link counts the time from each send to the end of its attempt, and on a serial port
// the bytes' wire time as well; a converter's line time it cannot know apart from the network.
TEST_P(SerialLineTest, LineTimeIsCountedByTheKindOfLine) {
    Connect(1);
    peer->Queue(Whole(kReply, 20ms));
    ASSERT_EQ(Exchange(), 0);

    const LineCounters& c = link->Counters();
    const LineCounters::Duration measured =
        GetParam() == LineKind::Pty ? c.serialTime : c.networkTime;
    EXPECT_GE(measured, 20ms);
    EXPECT_EQ((GetParam() == LineKind::Pty ? c.networkTime : c.serialTime).count(), 0);
    // 5 bytes out and 18 back at 4800 baud, 10 bits each.
    EXPECT_EQ(c.wireTime, GetParam() == LineKind::Pty ? LineCounters::Duration(47917us)
                                                      : LineCounters::Duration::zero());
}

// ---- Connecting to a converter that does not answer.

TEST(TcpConnectTest, GivesUpAtItsOwnTimeOut) {
    // A listening port whose queue is full: the system drops our connection request, as a
    // switched-off converter's network does.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), size), 0);

    PortSettings port;
    port.device = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    port.connectTimeout = 200ms;
    PortMap map;
    map.Assign(1, port);
    SerialLink link(std::move(map));
    TVM30 driver(0, &link, "");

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.InitLink(1), line_code::kPortUnavailable);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(link.LastProblem(1), port.device + ": no connection within 200 ms");
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 200ms + 1000ms);
    CommandBuffer buffer{0x02, 'U'};
    EXPECT_EQ(driver.Exchange(1, buffer, 2, 18), line_code::kPortUnavailable);
    EXPECT_EQ(link.Counters().attempts, 0u);
    ::close(filler);
    ::close(listener);
}

// ---- tcp:// addresses.

struct AddressCase {
    const char* text;
    const char* host;
    std::uint16_t port;
};

class TcpAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(TcpAddressTest, HostAndPort) {
    const TcpAddress address = ParseTcpAddress(GetParam().text);
    EXPECT_EQ(address.host, GetParam().host);
    EXPECT_EQ(address.port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Read, TcpAddressTest,
    ::testing::Values(AddressCase{"tcp://192.168.0.10:4001", "192.168.0.10", 4001},
                      AddressCase{"tcp://converter-2.station:23", "converter-2.station", 23},
                      AddressCase{"tcp://[fe80::1]:65535", "fe80::1", 65535},
                      AddressCase{"tcp://localhost:1", "localhost", 1}));

// ---- The port map's text form.

TEST(PortMapTest, ReadsChannelsDevicesAndSettings) {
    const PortMap map = PortMap::Parse(
        "# channel device settings\n"
        "1 /dev/ttyUSB0\n"
        "\n"
        "  7\tCOM3  baud=9600 timeout=100 interbyte=30 data=7 parity=even stop=2 attempts=2 "
        "# spare\n"
        "9 tcp://192.168.0.10:4001 timeout=150 connect=500\n");
    ASSERT_EQ(map.Entries().size(), 3u);
    const PortSettings* first = map.Find(1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->device, "/dev/ttyUSB0");
    EXPECT_FALSE(first->baudRate);
    EXPECT_FALSE(first->replyTimeout);
    EXPECT_EQ(first->retry.attempts, 3);
    const PortSettings* seventh = map.Find(7);
    ASSERT_NE(seventh, nullptr);
    EXPECT_EQ(seventh->device, "COM3");
    EXPECT_EQ(seventh->baudRate, 9600u);
    EXPECT_EQ(seventh->replyTimeout, 100ms);
    EXPECT_EQ(seventh->interByteTimeout, 30ms);
    EXPECT_EQ(seventh->dataBits, 7);
    EXPECT_EQ(seventh->parity, Parity::Even);
    EXPECT_EQ(seventh->stopBits, 2);
    EXPECT_EQ(seventh->retry.attempts, 2);
    EXPECT_FALSE(seventh->IsTcp());
    EXPECT_FALSE(seventh->connectTimeout);
    const PortSettings* ninth = map.Find(9);
    ASSERT_NE(ninth, nullptr);
    EXPECT_EQ(ninth->device, "tcp://192.168.0.10:4001");
    EXPECT_TRUE(ninth->IsTcp());
    EXPECT_EQ(ninth->replyTimeout, 150ms);
    EXPECT_EQ(ninth->connectTimeout, 500ms);
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
        // The first send and ten retries at the most, as --retries allows.
        BadMap{"1 a attempts=12",
               "port map line 1: attempts=12: expected 1 to 11 sends per exchange"},
        BadMap{"1 a attempts=0",
               "port map line 1: attempts=0: expected 1 to 11 sends per exchange"},
        BadMap{"1 a speed=9600",
               "port map line 1: unknown setting \"speed\" (known: baud, timeout, interbyte, "
               "connect, data, parity, stop, attempts)"},
        BadMap{"1 a 9600", "port map line 1: \"9600\" is not a key=value setting"},
        BadMap{"1 tcp://10.0.0.7",
               "port map line 1: tcp://10.0.0.7: no port (expected tcp://HOST:PORT, e.g. "
               "tcp://192.168.0.10:4001)"},
        BadMap{"1 tcp://:4001",
               "port map line 1: tcp://:4001: no host (expected tcp://HOST:PORT, e.g. "
               "tcp://192.168.0.10:4001)"},
        BadMap{"1 tcp://h:70000",
               "port map line 1: tcp://h:70000: \"70000\" is not a port 1..65535 (expected "
               "tcp://HOST:PORT, e.g. tcp://192.168.0.10:4001)"},
        BadMap{"1 tcp://h:0",
               "port map line 1: tcp://h:0: \"0\" is not a port 1..65535 (expected "
               "tcp://HOST:PORT, e.g. tcp://192.168.0.10:4001)"},
        BadMap{"1 tcp://fe80::1:4001",
               "port map line 1: tcp://fe80::1:4001: an IPv6 address must be in brackets "
               "(expected tcp://HOST:PORT, e.g. tcp://192.168.0.10:4001)"},
        BadMap{"1 tcp://h/x:23",
               "port map line 1: tcp://h/x:23: \"h/x\" is not a host (expected "
               "tcp://HOST:PORT, e.g. tcp://192.168.0.10:4001)"},
        BadMap{"1 tcp://h:23 parity=even",
               "port map line 1: parity= is set on the converter, not through a tcp:// line"},
        BadMap{"1 /dev/ttyS0 connect=100",
               "port map line 1: connect= is for tcp:// lines only, not /dev/ttyS0"},
        BadMap{"1 tcp://h:23 connect=0",
               "port map line 1: connect=0: expected milliseconds, 1 to 60000"}));

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
