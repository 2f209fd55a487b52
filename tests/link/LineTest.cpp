// Every line of ours keeps one contract, whatever carries the bytes: the same answers end the
// same way on the emulator's in-process link, on the serial link over a pseudo-terminal and
// through a converter's TCP port (both against fuel-emulator as a process of its own), and on
// the replay of a trace. The controller's answer to each attempt is shaped by the emulator's
// faults, so that every line meets the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "driver/Exceptions.h"
#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"
#include "link/Line.h"
#include "link/ReplayLink.h"
#include "link/SerialLink.h"
#include "testing/EmulatorProcess.h"
#include "testing/TestFiles.h"

namespace fuel::test {
namespace {

using namespace std::chrono_literals;
using emulator::Fault;
using Bytes = std::vector<std::uint8_t>;

const char* const kBus = "[dispenser 1]\nnozzles = 2\n";

// A request to nozzle code 1, the reply length the driver asks for, and the clean reply.
struct Request {
    std::uint8_t letter;
    std::uint8_t replyLength;
    Bytes reply;
};
const Request kStatus{
    'D',
    18,
    {'A', 'H', 0x01, 'D', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', 0x12, 'E'}};
const Request kStart{'u', 1, {'A'}};

Bytes FrameOf(const Request& request) {
    const std::uint8_t data[] = {0x01, request.letter};
    return {'H', data[0], data[1], static_cast<std::uint8_t>(0x8D + data[0] + data[1]), 'E'};
}

// What the controller does to each attempt, in order; a clean reply past the list's end.
using Answers = std::vector<std::optional<Fault>>;

std::optional<Fault> AnswerTo(const Answers& answers, int attempt) {
    const auto index = static_cast<std::size_t>(attempt - 1);
    return index < answers.size() ? answers[index] : std::nullopt;
}

enum class Kind { Emulator, Pty, Tcp, Replay };

std::string KindName(Kind kind) {
    switch (kind) {
        case Kind::Emulator:
            return "Emulator";
        case Kind::Pty:
            return "Pty";
        case Kind::Tcp:
            return "Tcp";
        case Kind::Replay:
            return "Replay";
    }
    return "?";
}

// One kind of line, set up for one exchange of `request` with the controller answering as
// told, and `attempts` sends at the most.
class LineUnderTest {
  public:
    virtual ~LineUnderTest() = default;
    virtual Line& Get() = 0;
};

class OnTheEmulatorLink final : public LineUnderTest {
  public:
    OnTheEmulatorLink(const Answers& answers, int attempts)
        : link_(bus_, 1, EmulatorLinkOptions{.retry = {attempts}}) {
        // Each attempt's fault is injected as its frame goes out, before the bus answers.
        link_.onFrame = [this, answers](std::uint32_t, std::span<const std::uint8_t>, int attempt) {
            if (const auto fault = AnswerTo(answers, attempt)) {
                bus_.InjectFault(*fault);
            }
        };
    }
    Line& Get() override { return link_; }

  private:
    emulator::Emulator bus_{emulator::ParseConfig(kBus)};
    EmulatorLink link_;
};

class OnTheSerialLink final : public LineUnderTest {
  public:
    OnTheSerialLink(const Answers& answers, int attempts, bool tcp) {
        WriteBytes(dir_.Path() / "bus.conf", kBus);
        EmulatorLaunch launch{.program = FUEL_EMULATOR_PATH,
                              .config = (dir_.Path() / "bus.conf").string(),
                              .arguments = {"--turnaround", "2"}};
        if (tcp) {
            launch.tcpPort = 0;
        }
        // The emulator numbers the requests of its run from 1: here, the attempts.
        for (int attempt = 1; attempt <= static_cast<int>(answers.size()); ++attempt) {
            if (const auto fault = AnswerTo(answers, attempt)) {
                launch.arguments.push_back("--fault");
                launch.arguments.push_back(std::string(emulator::FaultName(*fault)) + "@" +
                                           std::to_string(attempt));
            }
        }
        emulator_ = std::make_unique<EmulatorProcess>(std::move(launch));
        PortSettings port;
        port.device = emulator_->Device();
        // Wide enough that a loaded machine's scheduling never passes for a slow controller.
        port.replyTimeout = 300ms;
        port.interByteTimeout = 100ms;
        port.retry.attempts = attempts;
        PortMap map;
        map.Assign(1, port);
        link_ = std::make_unique<SerialLink>(std::move(map));
    }
    Line& Get() override { return *link_; }

  private:
    TemporaryDirectory dir_;
    std::unique_ptr<EmulatorProcess> emulator_;
    std::unique_ptr<SerialLink> link_;
};

// A trace of the exchange in which the recording line's verdicts are unknown: the replay
// must judge every recorded reply itself, and stop where a line stops. The replies recorded
// are the emulator's answers to every attempt the retry setting allows.
class OnTheReplayLink final : public LineUnderTest {
  public:
    OnTheReplayLink(const Request& request, const Answers& answers, int attempts) {
        emulator::Emulator bus{emulator::ParseConfig(kBus)};
        RecordedExchange exchange;
        exchange.channel = 1;
        exchange.frame = FrameOf(request);
        for (int attempt = 1; attempt <= attempts; ++attempt) {
            if (const auto fault = AnswerTo(answers, attempt)) {
                bus.InjectFault(*fault);
            }
            const emulator::Reply reply = bus.Handle(exchange.frame);
            RecordedCheck check;
            check.bytes.assign(reply.Bytes().begin(), reply.Bytes().end());
            check.received =
                static_cast<std::uint8_t>(std::min<std::size_t>(reply.length, request.replyLength));
            check.expected = request.replyLength;
            check.high = request.replyLength - 1;
            if (exchange.reply.empty() || !AnswerTo(answers, attempt)) {
                exchange.reply = check.bytes;
            }
            exchange.checks.push_back(std::move(check));
        }
        link_.Serve({exchange}, {});
    }
    Line& Get() override { return link_; }

  private:
    ReplayLink link_;
};

std::unique_ptr<LineUnderTest> MakeLine(Kind kind, const Request& request, const Answers& answers,
                                        int attempts) {
    switch (kind) {
        case Kind::Emulator:
            return std::make_unique<OnTheEmulatorLink>(answers, attempts);
        case Kind::Pty:
            return std::make_unique<OnTheSerialLink>(answers, attempts, false);
        case Kind::Tcp:
            return std::make_unique<OnTheSerialLink>(answers, attempts, true);
        case Kind::Replay:
            return std::make_unique<OnTheReplayLink>(request, answers, attempts);
    }
    return nullptr;
}

// ---- The short reply: a frame the reply check accepts, yet shorter than asked for.

struct ShortCase {
    const char* name;
    const Request* request;
    int attempts;
    Answers answers;
    std::int32_t result;
    std::vector<std::int32_t> codes;  // the verdict on each attempt
    std::uint64_t shortReplies;
};

void PrintTo(const ShortCase& c, std::ostream* out) {
    *out << c.name;
}

constexpr std::int32_t kShort = line_code::kShortReply;
constexpr auto kShortFrame = Fault::ShortFrame;

const ShortCase kShortCases[] = {
    {"FullReply", &kStatus, 3, {}, 0, {0}, 0},
    {"ShortEveryAttempt",
     &kStatus,
     3,
     {kShortFrame, kShortFrame, kShortFrame},
     kShort,
     {kShort, kShort, kShort},
     3},
    {"ShortThenFull", &kStatus, 3, {kShortFrame}, 0, {kShort, 0}, 1},
    {"ShortWithoutRetries", &kStatus, 1, {kShortFrame}, kShort, {kShort}, 1},
    {"RejectedThenShort",
     &kStatus,
     2,
     {Fault::WrongChecksum, kShortFrame},
     kShort,
     {reply_code::kBadChecksum, kShort},
     1},
    {"ShortThenRejected",
     &kStatus,
     2,
     {kShortFrame, Fault::WrongChecksum},
     reply_code::kBadChecksum,
     {kShort, reply_code::kBadChecksum},
     1},
    {"LoneAForAOneByteReply", &kStart, 3, {}, 0, {0}, 0},
    // Short too, but the reply check's own code says more.
    {"LoneAWhereDataWasAsked",
     &kStatus,
     1,
     {Fault::OnlyAcknowledge},
     reply_code::kOnlyAcknowledge,
     {reply_code::kOnlyAcknowledge},
     1},
    {"FrameWithoutItsEnd",
     &kStatus,
     1,
     {Fault::MissingEnd},
     reply_code::kNoEnd,
     {reply_code::kNoEnd},
     1},
};

class ShortReplyTest : public ::testing::TestWithParam<std::tuple<Kind, ShortCase>> {};

TEST_P(ShortReplyTest, EndsAlikeOnEveryLine) {
    const auto& [kind, c] = GetParam();
    const auto under = MakeLine(kind, *c.request, c.answers, c.attempts);
    Line& line = under->Get();
    std::vector<AttemptVerdict> verdicts;
    line.onReply = [&](std::uint32_t, std::span<const std::uint8_t>, const AttemptVerdict& v) {
        verdicts.push_back(v);
    };
    TVM30 driver{0, &line, ""};

    CommandBuffer buffer{0x01, c.request->letter};
    const std::int32_t result = driver.Exchange(1, buffer, 2, c.request->replyLength);

    EXPECT_EQ(result, c.result) << DescribeLineCode(result);
    EXPECT_EQ(line.GetChannelError(1), c.result);
    EXPECT_EQ(driver.Tables().LinkState[1], c.result == 0 ? link_state::kGood : link_state::kBad);
    std::vector<std::int32_t> codes;
    for (const AttemptVerdict& verdict : verdicts) {
        codes.push_back(verdict.code);
        EXPECT_EQ(verdict.state, verdict.code == 0 ? link_state::kGood : link_state::kBad);
        EXPECT_EQ(verdict.accepted, verdict.code == 0);
    }
    EXPECT_EQ(codes, c.codes);
    const LineCounters& counters = line.Counters();
    EXPECT_EQ(counters.exchanges, 1u);
    EXPECT_EQ(counters.attempts, c.codes.size());
    EXPECT_EQ(counters.retries, c.codes.size() - 1);
    EXPECT_EQ(counters.shortReplies, c.shortReplies);
    EXPECT_EQ(counters.accepted, c.result == 0 ? 1u : 0u);
    EXPECT_EQ(counters.failed, c.result == 0 ? 0u : 1u);
    if (c.result == 0) {
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.request->replyLength), c.request->reply);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLine, ShortReplyTest,
                         ::testing::Combine(::testing::Values(Kind::Emulator, Kind::Pty, Kind::Tcp,
                                                              Kind::Replay),
                                            ::testing::ValuesIn(kShortCases)),
                         [](const auto& info) {
                             return KindName(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

// ---- A reply check that raises: the driver asks for the channel's error, and must find a
// failure there, not the last exchange's success.

bool Raise(void*, std::uint32_t, const std::uint8_t*, std::int32_t, const std::uint8_t&,
           const std::uint8_t&) {
    throw ERangeError();
}

class RaisingCheckTest : public ::testing::TestWithParam<Kind> {};

TEST_P(RaisingCheckTest, LeavesAFailureBehind) {
    const auto under = MakeLine(GetParam(), kStatus, {}, 1);
    Line& line = under->Get();
    TVM30 driver{0, &line, ""};
    CommandBuffer buffer{0x01, kStatus.letter};
    ASSERT_EQ(driver.Exchange(1, buffer, 2, kStatus.replyLength), 0);

    line.SetReplyValidator(1, ReplyHandler{&Raise, nullptr});
    const Bytes frame = FrameOf(kStatus);
    std::array<std::uint8_t, 18> reply{};
    EXPECT_THROW(line.Transact(1, frame.data(), 5, reply.data(), 18, 0), ERangeError);
    EXPECT_EQ(line.GetChannelError(1), line_code::kUnjudged);
    EXPECT_EQ(line.GetChannelState(1), link_state::kBad);
}

INSTANTIATE_TEST_SUITE_P(LiveLines, RaisingCheckTest,
                         ::testing::Values(Kind::Emulator, Kind::Pty, Kind::Tcp),
                         [](const auto& info) { return KindName(info.param); });

// ---- The codes' words.

TEST(DescribeLineCodeTest, EveryCodeHasWordsOfItsOwn) {
    const std::int32_t codes[] = {0,
                                  reply_code::kBadStart,
                                  reply_code::kOnlyAcknowledge,
                                  reply_code::kNoEnd,
                                  reply_code::kBadChecksum,
                                  line_code::kSilence,
                                  line_code::kPortUnavailable,
                                  line_code::kNoPort,
                                  line_code::kBadRequest,
                                  line_code::kUnjudged,
                                  line_code::kBadSettings,
                                  line_code::kShortReply,
                                  line_code::kNoInitializer};
    std::vector<std::string_view> seen;
    for (const std::int32_t code : codes) {
        const std::string_view words = DescribeLineCode(code);
        EXPECT_NE(words, DescribeLineCode(4242)) << code;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), words), 0) << code << ": " << words;
        seen.push_back(words);
    }
    EXPECT_EQ(DescribeLineCode(4242), "unknown code");
}

}  // namespace
}  // namespace fuel::test
