#include "driver/TracedDriver.h"

#include <algorithm>
#include <functional>

#include "driver/ExchangeSteps.h"
#include "driver/HostOperations.h"
#include "driver/TraceSchema.h"

namespace fuel {
namespace {

bool IsChannel(std::int64_t channel) {
    return CheckedArray<int, 1, kChannels>::Contains(channel);
}

bool IsDispenser(std::int64_t channel, std::int64_t dispenser) {
    return IsChannel(channel) && CheckedArray<int, 1, kDispensers>::Contains(dispenser);
}

std::int64_t Microseconds(std::chrono::nanoseconds d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

}  // namespace

// Told of each step of an exchange by TVM30::ExchangeWatched; writes the checks the link
// had made and the exchange once the link's call is over, so that no trace line is written
// while the link is timing the reply.
class ExchangeRecorder {
  public:
    explicit ExchangeRecorder(TracedDriver& driver) : driver_(driver) {}

    void Sending(std::uint8_t channel, const Frame& frame, std::uint8_t replyLength) noexcept {
        channel_ = channel;
        frame_ = frame;
        replyLength_ = replyLength;
        driver_.checks_.clear();
        driver_.exchanging_ = true;
        start_ = driver_.sink_->Now();
    }
    void Returned() noexcept {
        if (!returned_) {
            end_ = driver_.sink_->Now();
            returned_ = true;
        }
    }
    void Finished(std::int32_t result, std::uint8_t state, bool raised,
                  std::span<const std::uint8_t> reply) noexcept {
        driver_.exchanging_ = false;
        try {
            Write(result, state, raised, reply);
        } catch (...) {
            // Out of memory: the exchange goes untraced, the operation goes on.
        }
        driver_.checks_.clear();
    }

    ~ExchangeRecorder() { driver_.exchanging_ = false; }

  private:
    void Write(std::int32_t result, std::uint8_t state, bool raised,
               std::span<const std::uint8_t> reply) {
        TraceSink& sink = *driver_.sink_;
        const auto& checks = driver_.checks_;
        // Every check before the last is a reply the link tried again after.
        const auto* open = driver_.Innermost();
        const auto where = [&](TraceEvent& event) {
            if (open != nullptr) {
                event.With("op", open->number);
                if (open->dispenser != 0) {
                    event.With("disp", open->dispenser);
                }
            }
        };
        for (std::size_t i = 0; i + 1 < checks.size(); ++i) {
            TraceEvent check(checks[i].time, "check");
            check.With("ch", checks[i].channel).With("n", i + 1);
            where(check);
            TraceEvent judged = driver_.CheckEvent(checks[i]);
            check.fields.insert(check.fields.end(), judged.fields.begin() + 1, judged.fields.end());
            sink.Record(check);
        }

        TraceEvent exchange(end_.wall, "xchg");
        exchange.With("ch", channel_);
        where(exchange);
        exchange.WithHex("frame", std::span(frame_.bytes.data(), frame_.length));
        exchange.With("result", result).With("state", state);
        if (checks.empty()) {
            exchange.With("verdict", "none");
        } else if (const auto& last = checks.back(); !last.code) {
            exchange.With("verdict", "range-error");
        } else {
            exchange.With("verdict", *last.code == reply_code::kAccepted ? "accepted" : "rejected")
                .With("code", *last.code);
        }
        exchange.With("checks", checks.size());
        exchange.With("us", Microseconds(end_.steady - start_.steady));
        exchange.With("want", replyLength_);
        if (!checks.empty()) {
            const auto& last = checks.back();
            exchange.With("got", last.received);
            if (last.high != std::int32_t{replyLength_} - 1) {
                exchange.With("high", last.high);
            }
            const std::span<const std::uint8_t> seen(last.bytes.data(), last.length);
            const bool inReply =
                seen.size() <= reply.size() && std::equal(seen.begin(), seen.end(), reply.begin());
            if (!inReply) {
                exchange.WithHex("seen", seen);  // the link judged bytes of its own
            }
        }
        exchange.WithHex("reply", reply);
        if (raised) {
            exchange.With("raised", 1);
        }
        sink.Record(exchange);
    }

    TracedDriver& driver_;
    std::uint8_t channel_ = 0;
    Frame frame_;
    std::uint8_t replyLength_ = 0;
    TraceTime start_{};
    TraceTime end_{};
    bool returned_ = false;
};

TracedDriver::TracedDriver(std::uint32_t flags, fuel::HostLink* hostLink,
                           const std::string& cnfIniPath, std::shared_ptr<TraceSink> sink)
    : TVM30(flags, hostLink, cnfIniPath), sink_(std::move(sink)), flags_(flags & 0xFF) {
    // The link may retry a few times inside one exchange; beyond this the list grows.
    checks_.reserve(8);
}

const TracedDriver::OpenOperation* TracedDriver::Innermost() const {
    if (depth_ == 0) {
        return nullptr;
    }
    return &open_[std::min(depth_, kDeepest) - 1];
}

void TracedDriver::WithLinkState(TraceEvent& event, std::int64_t channel) const {
    if (IsChannel(channel)) {
        event.With("link", LinkState[channel]);
    }
}

void TracedDriver::AtBoundary() noexcept {
    try {
        const TraceStamp now = sink_->Now().wall;
        if (sink_->NewFileDue()) {
            sink_->BeginFile();
            RecordOptions(now);
            RecordState(now);
            return;
        }
        if (recordedOptions_ != Options()) {
            RecordOptions(now);
        }
    } catch (...) {
        // Out of memory: the lines are lost, the operation goes on.
    }
}

void TracedDriver::RecordOptions(TraceStamp time) {
    sink_->Record(OptionsLine(time, {flags_, Options()}));
    recordedOptions_ = Options();
}

// What a fresh driver would not know: the tables' entries that have left their defaults,
// so that a file that begins in the middle of a station's day can still be replayed.
void TracedDriver::RecordState(TraceStamp time) {
    for (const TraceEvent& line : StateLines(time, Tables())) {
        sink_->Record(line);
    }
}

// A change no operation made (a program restoring a state or choosing the nozzle of a fill
// it found): written down at once, so that a replay starts the next operation from it.
void TracedDriver::TablesChanged(std::int64_t channel, std::int64_t dispenser) {
    if (depth_ == 0) {
        AtBoundary();
    }
    try {
        const TraceStamp now = sink_->Now().wall;
        sink_->Record(dispenser == 0 ? LinkStateLine(now, channel, LinkState[channel])
                                     : DispenserStateLine(now, channel, dispenser,
                                                          Tables().Dispenser(channel, dispenser)));
    } catch (...) {
        // Out of memory: the line is lost, the change stands.
    }
}

std::uint64_t TracedDriver::Begin(std::string_view name, std::int64_t channel,
                                  std::int64_t dispenser,
                                  const std::function<void(TraceEvent&)>& arguments) noexcept {
    if (depth_ == 0) {
        AtBoundary();
    }
    const std::uint64_t number = nextOperation_++;
    try {
        TraceEvent call(sink_->Now().wall, "call");
        call.Word(std::to_string(number)).Word(name);
        if (const auto* outer = Innermost()) {
            call.With("in", outer->number);
        }
        arguments(call);
        sink_->Record(call);
    } catch (...) {
        // Out of memory: the line is lost, the operation goes on.
    }
    if (depth_ < kDeepest) {
        open_[depth_] = {number, channel, dispenser};
    }
    ++depth_;
    return number;
}

void TracedDriver::End(std::uint64_t number, std::string_view name, bool finished,
                       const std::function<void(TraceEvent&, bool)>& outcome) noexcept {
    const OpenOperation* open = Innermost();
    const std::int64_t channel = open != nullptr ? open->channel : 0;
    try {
        TraceEvent end(sink_->Now().wall, finished ? "done" : "fail");
        end.Word(std::to_string(number)).Word(name);
        if (!finished) {
            try {
                throw;
            } catch (const Exception& error) {
                end.With("class", error.ClassName()).With("msg", error.Message());
            } catch (const std::exception& error) {
                end.With("class", "exception").With("msg", error.what());
            } catch (...) {
                end.With("class", "unknown");
            }
        }
        outcome(end, finished);
        WithLinkState(end, channel);
        sink_->Record(end);
    } catch (...) {
        // Out of memory: the line is lost, the operation goes on.
    }
    --depth_;
}

namespace {

// What an operation that hands back nothing returned, for the outcome hooks below.
struct NoResult {};

// ---- Outcomes that are more than the result and the numbers handed back.

// Known keys only: the value of an unknown one is whatever the caller had.
void Outcome(HostOperation<HostSlot::GetDriverInfo>, TraceEvent& e, bool finished, const TVM30&,
             bool known, std::uint32_t, std::uint32_t value) {
    if (finished) {
        e.With("result", known);
    }
    if (finished && known) {
        e.With("value", value);
    }
}

// A poll's outcome: the summary, its nozzle, the words and volumes of the nozzles polled,
// and the record byte for byte.
void PollOutcome(TraceEvent& e, const TVM30& driver, std::uint8_t channel, std::uint8_t dispenser,
                 std::uint8_t count, std::span<const std::uint8_t> record) {
    e.With("summary", record[0]).With("nozzle", record[14]);
    if (IsDispenser(channel, dispenser)) {
        std::string words;
        std::string volumes;
        for (int nozzle = 1; nozzle <= std::min<int>(count, kNozzles); ++nozzle) {
            const auto at = static_cast<std::size_t>(2 * nozzle);
            words +=
                (words.empty() ? "" : ",") + std::to_string(record[at] | (record[at + 1] << 8));
            volumes += (volumes.empty() ? "" : ",") +
                       RealText(driver.Tables().NozzleVolume[channel][dispenser][nozzle]);
        }
        if (!words.empty()) {
            e.With("words", words).With("volumes", volumes);
        }
    }
    e.WithHex("record", record);
}

void Outcome(HostOperation<HostSlot::PollDispenserStatus>, TraceEvent& e, bool, const TVM30& driver,
             NoResult, std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
             const StatusRecord& record) {
    PollOutcome(e, driver, channel, dispenser, count, record.bytes);
}

void Outcome(HostOperation<HostSlot::PollDispenserStatusEx>, TraceEvent& e, bool,
             const TVM30& driver, NoResult, std::uint8_t channel, std::uint8_t dispenser,
             std::uint8_t count, const StatusRecordEx& record) {
    PollOutcome(e, driver, channel, dispenser, count, record.bytes);
    if (IsDispenser(channel, dispenser)) {
        e.With("mode", driver.Tables().DispenserMode[channel][dispenser]);
    }
}

// Where an operation runs, from its arguments keyed as a channel and a dispenser or a bus
// address.
template <typename Operation, typename... Arguments>
std::pair<std::int64_t, std::int64_t> PlaceOf(const Arguments&... arguments) {
    std::int64_t channel = 0;
    std::int64_t dispenser = 0;
    std::size_t i = 0;
    [[maybe_unused]] const auto take = [&](const auto& argument) {
        const std::string_view key = Operation::kKeys[i++];
        if constexpr (std::is_integral_v<std::remove_cvref_t<decltype(argument)>>) {
            if (key == trace_key::kChannel) {
                channel = argument;
            } else if (key == trace_key::kDispenser || key == trace_key::kAddress) {
                dispenser = argument;
            }
        }
    };
    (take(arguments), ...);
    return {channel, dispenser};
}

}  // namespace

template <typename Operation, typename Body, typename... Arguments>
auto TracedDriver::Traced(const Body& body, Arguments&... arguments) -> decltype(body()) {
    using Method = Signature<decltype(Operation::kMethod)>;
    using Result = decltype(body());
    static_assert(sizeof...(Arguments) == Operation::kKeys.size(), "a trace key per parameter");
    constexpr auto indexes = std::index_sequence_for<Arguments...>{};

    const auto [channel, dispenser] = PlaceOf<Operation>(arguments...);
    const std::uint64_t number = Begin(Operation::kName, channel, dispenser, [&](TraceEvent& call) {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (WriteArgument<typename Method::template Parameter<I>>(call, Operation::kKeys[I],
                                                                   arguments),
             ...);
        }
        (indexes);
    });
    std::conditional_t<std::is_void_v<Result>, NoResult, Result> result{};
    const auto outcome = [&](TraceEvent& end, bool finished) {
        if constexpr (requires {
                          Outcome(Operation{}, end, finished, *this, result, arguments...);
                      }) {
            Outcome(Operation{}, end, finished, *this, result, arguments...);
        } else {
            if constexpr (!std::is_void_v<Result>) {
                if (finished) {
                    end.With(Operation::kResultKey, result);
                }
            }
            [&]<std::size_t... I>(std::index_sequence<I...>) {
                (WriteHandedBack<typename Method::template Parameter<I>>(end, Operation::kKeys[I],
                                                                         arguments),
                 ...);
            }
            (indexes);
        }
    };
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
        } else {
            result = body();
        }
    } catch (...) {
        End(number, Operation::kName, false, outcome);
        throw;
    }
    End(number, Operation::kName, true, outcome);
    if constexpr (!std::is_void_v<Result>) {
        return result;
    }
}

// Every host operation: the driver's own, between its lines.
#define FUEL_HOST_OPERATION(slot, name, result, resultKey, ...) \
    result TracedDriver::name(FUEL_PARAMETERS(__VA_ARGS__)) {   \
        return Traced<HostOperation<HostSlot::name>>([&] {      \
            return TVM30::name(FUEL_ARGUMENTS(__VA_ARGS__));    \
        } __VA_OPT__(, ) FUEL_ARGUMENTS(__VA_ARGS__));          \
    }
#include "driver/HostOperations.def"

std::int32_t TracedDriver::ApplyLinkSettings(std::uint32_t channel) {
    return Traced<ApplyLinkSettingsOperation>([&] { return TVM30::ApplyLinkSettings(channel); },
                                              channel);
}

std::int32_t TracedDriver::Exchange(std::uint8_t channel, std::span<std::uint8_t> buffer,
                                    std::uint8_t n, std::uint8_t replyLength, std::uint32_t) {
    ExchangeRecorder recorder(*this);
    return ExchangeWatched(channel, buffer, n, replyLength, recorder);
}

bool TracedDriver::ReplyCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                              const std::uint8_t& receivedCount,
                              const std::uint8_t& expectedCount) {
    std::int32_t code = 0;
    try {
        code = JudgeReply(reply, high, receivedCount, expectedCount);
    } catch (...) {
        NoteCheck(channel, reply, high, receivedCount, expectedCount, std::nullopt);
        throw;
    }
    NoteCheck(channel, reply, high, receivedCount, expectedCount, code);
    return ReportVerdict(channel, code);
}

void TracedDriver::NoteCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                             std::uint8_t received, std::uint8_t expected,
                             std::optional<std::int32_t> code) noexcept {
    try {
        CheckRecord check;
        check.time = sink_->Now().wall;
        check.channel = channel;
        check.received = received;
        check.expected = expected;
        check.high = high;
        check.code = code;
        // The bytes the check could have read: 0 .. received-1 (at least byte 0), within high.
        if (reply != nullptr && high >= 0) {
            const std::int64_t count =
                std::min<std::int64_t>(std::max<std::int64_t>(received, 1), std::int64_t{high} + 1);
            check.length = static_cast<std::size_t>(count);
            std::copy_n(reply, check.length, check.bytes.begin());
        }
        if (exchanging_) {
            checks_.push_back(check);
        } else {
            sink_->Record(CheckEvent(check));  // the link judged a reply of its own accord
        }
    } catch (...) {
        // Out of memory: the check goes untraced.
    }
}

TraceEvent TracedDriver::CheckEvent(const CheckRecord& check) const {
    TraceEvent event(check.time, "check");
    event.With("ch", check.channel);
    if (!check.code) {
        event.With("verdict", "range-error");
    } else {
        event.With("verdict", *check.code == reply_code::kAccepted ? "accepted" : "rejected")
            .With("code", *check.code);
    }
    event.With("want", check.expected).With("got", check.received).With("high", check.high);
    event.WithHex("bytes", std::span(check.bytes.data(), check.length));
    return event;
}

}  // namespace fuel
