#include "driver/TracedDriver.h"

#include <algorithm>
#include <functional>

#include "driver/ExchangeSteps.h"

namespace fuel {
namespace {

bool IsChannel(std::int64_t channel) {
    return CheckedArray<int, 1, kChannels>::Contains(channel);
}

bool IsDispenser(std::int64_t channel, std::int64_t dispenser) {
    return IsChannel(channel) && CheckedArray<int, 1, kDispensers>::Contains(dispenser);
}

template <typename T, std::size_t N>
std::string List(const std::array<T, N>& values) {
    std::string text;
    for (const T& value : values) {
        if (!text.empty()) {
            text += ',';
        }
        if constexpr (std::is_floating_point_v<T>) {
            text += RealText(value);
        } else {
            text += std::to_string(value);
        }
    }
    return text;
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
        const std::array<bool, 4> options = {OrigAdres, StartInLiter, WStart, WDoza};
        if (recordedOptions_ != options) {
            RecordOptions(now);
        }
    } catch (...) {
        // Out of memory: the lines are lost, the operation goes on.
    }
}

void TracedDriver::RecordOptions(TraceStamp time) {
    TraceEvent options(time, "options");
    options.With("flags", flags_)
        .With("OrigAdres", OrigAdres)
        .With("StartInLiter", StartInLiter)
        .With("WStart", WStart)
        .With("WDoza", WDoza);
    sink_->Record(options);
    recordedOptions_ = std::array<bool, 4>{OrigAdres, StartInLiter, WStart, WDoza};
}

// What a fresh driver would not know: the tables' entries that have left their defaults,
// so that a file that begins in the middle of a station's day can still be replayed.
void TracedDriver::RecordState(TraceStamp time) {
    for (int channel = 1; channel <= kChannels; ++channel) {
        if (LinkState[channel] != link_state::kGood) {
            TraceEvent state(time, "state");
            state.With("ch", channel).With("link", LinkState[channel]);
            sink_->Record(state);
        }
        for (int dispenser = 1; dispenser <= kDispensers; ++dispenser) {
            std::array<std::uint16_t, kNozzles> status{};
            std::array<double, kNozzles> price{};
            std::array<double, kNozzles> volume{};
            bool untouched =
                CurrentNozzle[channel][dispenser] == 1 && DispenserMode[channel][dispenser] == 0 &&
                ModeRecheckCountdown[channel][dispenser] == 0 &&
                ModeStableCount[channel][dispenser] == 1 &&
                VolumeDecimals[channel][dispenser] == 2 && MoneyDecimals[channel][dispenser] == 2 &&
                VolumeLimit[channel][dispenser] == 0 && MoneyLimit[channel][dispenser] == 0;
            for (int nozzle = 1; nozzle <= kNozzles; ++nozzle) {
                const auto at = static_cast<std::size_t>(nozzle - 1);
                status[at] = NozzleStatus[channel][dispenser][nozzle];
                price[at] = NozzlePrice[channel][dispenser][nozzle];
                volume[at] = NozzleVolume[channel][dispenser][nozzle];
                const std::uint16_t fresh = nozzle == 1 ? status_code::kNoActivity : 0;
                untouched = untouched && status[at] == fresh && price[at] == 0 && volume[at] == 0;
            }
            if (untouched) {
                continue;
            }
            TraceEvent state(time, "state");
            state.With("ch", channel)
                .With("disp", dispenser)
                .With("mode", DispenserMode[channel][dispenser])
                .With("vdec", VolumeDecimals[channel][dispenser])
                .With("mdec", MoneyDecimals[channel][dispenser])
                .With("countdown", ModeRecheckCountdown[channel][dispenser])
                .With("stable", ModeStableCount[channel][dispenser])
                .With("nozzle", CurrentNozzle[channel][dispenser])
                .With("vlimit", VolumeLimit[channel][dispenser])
                .With("mlimit", MoneyLimit[channel][dispenser])
                .With("status", List(status))
                .With("price", List(price))
                .With("volume", List(volume));
            sink_->Record(state);
        }
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

template <typename Arguments, typename Body, typename Outcome>
void TracedDriver::Operation(std::string_view name, std::int64_t channel, std::int64_t dispenser,
                             const Arguments& arguments, const Body& body, const Outcome& outcome) {
    const std::uint64_t number = Begin(name, channel, dispenser, arguments);
    try {
        body();
    } catch (...) {
        End(number, name, false, outcome);
        throw;
    }
    End(number, name, true, outcome);
}

namespace {

// Outcome of an operation that hands nothing back.
void Nothing(TraceEvent&, bool) {}

// Outcome of an operation that hands back a value: the value under `key`, once it has one.
template <typename T>
auto Returned(std::string_view key, const T& value) {
    return [key, &value](TraceEvent& e, bool finished) {
        if (finished)
            e.With(key, value);
    };
}

}  // namespace

void TracedDriver::AbstractOperation() {
    Operation(
        "AbstractOperation", 0, 0, [](TraceEvent&) {}, [&] { TVM30::AbstractOperation(); },
        Nothing);
    throw EAbstractError();  // not reached: the operation always raises
}

std::string TracedDriver::GetProtocolDescription() {
    std::string text;
    Operation(
        "GetProtocolDescription", 0, 0, [](TraceEvent&) {},
        [&] { text = TVM30::GetProtocolDescription(); }, Returned("text", text));
    return text;
}

void TracedDriver::SetLinkState(std::uint8_t channel, std::uint8_t value) {
    Operation(
        "SetLinkState", channel, 0,
        [&](TraceEvent& e) { e.With("ch", channel).With("value", value); },
        [&] { TVM30::SetLinkState(channel, value); }, Nothing);
}

std::uint8_t TracedDriver::GetLinkState(std::uint8_t channel) {
    std::uint8_t result = 0;
    Operation(
        "GetLinkState", channel, 0, [&](TraceEvent& e) { e.With("ch", channel); },
        [&] { result = TVM30::GetLinkState(channel); }, Returned("result", result));
    return result;
}

std::int32_t TracedDriver::StopPump(std::uint32_t channel, std::uint32_t dispenser,
                                    std::uint8_t stopFlag) {
    std::int32_t result = 0;
    Operation(
        "StopPump", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel).With("disp", dispenser).With("flag", stopFlag);
        },
        [&] { result = TVM30::StopPump(channel, dispenser, stopFlag); },
        Returned("result", result));
    return result;
}

std::int32_t TracedDriver::ReservedQuery(std::uint32_t value) {
    std::int32_t result = 0;
    Operation(
        "ReservedQuery", 0, 0, [&](TraceEvent& e) { e.With("value", value); },
        [&] { result = TVM30::ReservedQuery(value); }, Returned("result", result));
    return result;
}

void TracedDriver::GetFinalDispensedData(std::uint32_t channel, std::uint32_t dispenser,
                                         double& volume, double& amount) {
    Operation(
        "GetFinalDispensedData", channel, dispenser,
        [&](TraceEvent& e) { e.With("ch", channel).With("disp", dispenser); },
        [&] { TVM30::GetFinalDispensedData(channel, dispenser, volume, amount); },
        [&](TraceEvent& e, bool) { e.With("volume", volume).With("amount", amount); });
}

void TracedDriver::GetTotalizer(std::uint32_t channel, std::uint32_t dispenser,
                                std::uint32_t nozzle, double& volumeTotal, double& moneyTotal,
                                std::uint32_t reserved1, std::uint32_t reserved2) {
    Operation(
        "GetTotalizer", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("nozzle", nozzle)
                .With("r1", reserved1)
                .With("r2", reserved2);
        },
        [&] {
            TVM30::GetTotalizer(channel, dispenser, nozzle, volumeTotal, moneyTotal, reserved1,
                                reserved2);
        },
        [&](TraceEvent& e, bool) { e.With("volume", volumeTotal).With("money", moneyTotal); });
}

void TracedDriver::ReservedOperationA(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                      std::uint32_t d, std::uint32_t e, std::uint32_t f,
                                      std::uint32_t g) {
    Operation(
        "ReservedOperationA", 0, 0,
        [&](TraceEvent& t) {
            t.With("r1", a)
                .With("r2", b)
                .With("r3", c)
                .With("r4", d)
                .With("r5", e)
                .With("r6", f)
                .With("r7", g);
        },
        [&] { TVM30::ReservedOperationA(a, b, c, d, e, f, g); }, Nothing);
}

double TracedDriver::GetDispensedData(std::uint32_t channel, std::uint32_t dispenser,
                                      double& amount) {
    double volume = 0;
    Operation(
        "GetDispensedData", channel, dispenser,
        [&](TraceEvent& e) { e.With("ch", channel).With("disp", dispenser); },
        [&] { volume = TVM30::GetDispensedData(channel, dispenser, amount); },
        [&](TraceEvent& e, bool finished) {
            if (finished)
                e.With("volume", volume);
            e.With("amount", amount);
        });
    return volume;
}

std::uint8_t TracedDriver::GetStatusCode(std::uint8_t channel, std::uint8_t dispenser) {
    std::uint8_t result = 0;
    Operation(
        "GetStatusCode", channel, dispenser,
        [&](TraceEvent& e) { e.With("ch", channel).With("disp", dispenser); },
        [&] { result = TVM30::GetStatusCode(channel, dispenser); }, Returned("result", result));
    return result;
}

void TracedDriver::SetPrice(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                            std::uint32_t reserved1, std::uint32_t reserved2, double price) {
    Operation(
        "SetPrice", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("nozzle", nozzle)
                .With("r1", reserved1)
                .With("r2", reserved2)
                .With("price", price);
        },
        [&] { TVM30::SetPrice(channel, dispenser, nozzle, reserved1, reserved2, price); }, Nothing);
}

void TracedDriver::ReservedOperationB(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    Operation(
        "ReservedOperationB", 0, 0,
        [&](TraceEvent& e) { e.With("r1", a).With("r2", b).With("r3", c); },
        [&] { TVM30::ReservedOperationB(a, b, c); }, Nothing);
}

void TracedDriver::SetVolumeLimit(std::uint32_t channel, std::uint32_t dispenser,
                                  std::uint32_t nozzle, std::uint32_t reserved, double limit) {
    Operation(
        "SetVolumeLimit", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("nozzle", nozzle)
                .With("r1", reserved)
                .With("limit", limit);
        },
        [&] { TVM30::SetVolumeLimit(channel, dispenser, nozzle, reserved, limit); }, Nothing);
}

void TracedDriver::SetMoneyLimit(std::uint32_t channel, std::uint32_t dispenser,
                                 std::uint32_t nozzle, std::uint32_t reserved, double limit) {
    Operation(
        "SetMoneyLimit", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("nozzle", nozzle)
                .With("r1", reserved)
                .With("limit", limit);
        },
        [&] { TVM30::SetMoneyLimit(channel, dispenser, nozzle, reserved, limit); }, Nothing);
}

std::int32_t TracedDriver::StartPump(std::uint32_t channel, std::uint32_t dispenser,
                                     std::uint32_t nozzle) {
    std::int32_t result = 0;
    Operation(
        "StartPump", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel).With("disp", dispenser).With("nozzle", nozzle);
        },
        [&] { result = TVM30::StartPump(channel, dispenser, nozzle); }, Returned("result", result));
    return result;
}

std::int32_t TracedDriver::InitLink(std::uint32_t channel) {
    std::int32_t result = 0;
    Operation(
        "InitLink", channel, 0, [&](TraceEvent& e) { e.With("ch", channel); },
        [&] { result = TVM30::InitLink(channel); }, Returned("result", result));
    return result;
}

std::int32_t TracedDriver::ReadParameter(std::uint32_t channel, std::uint32_t address,
                                         std::int32_t cell) {
    std::int32_t result = 0;
    Operation(
        "ReadParameter", channel, address,
        [&](TraceEvent& e) { e.With("ch", channel).With("addr", address).With("cell", cell); },
        [&] { result = TVM30::ReadParameter(channel, address, cell); }, Returned("result", result));
    return result;
}

std::int32_t TracedDriver::WriteParameter(std::uint32_t channel, std::uint32_t address,
                                          std::int32_t cell, std::int32_t value) {
    std::int32_t result = 0;
    Operation(
        "WriteParameter", channel, address,
        [&](TraceEvent& e) {
            e.With("ch", channel).With("addr", address).With("cell", cell).With("value", value);
        },
        [&] { result = TVM30::WriteParameter(channel, address, cell, value); },
        Returned("result", result));
    return result;
}

void TracedDriver::StartFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                             std::uint8_t flag) {
    Operation(
        "StartFill", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel).With("disp", dispenser).With("nozzle", nozzle).With("flag", flag);
        },
        [&] { TVM30::StartFill(channel, dispenser, nozzle, flag); }, Nothing);
}

bool TracedDriver::GetDriverInfo(std::uint32_t key, std::uint32_t& value) {
    bool known = false;
    Operation(
        "GetDriverInfo", 0, 0, [&](TraceEvent& e) { e.With("key", key); },
        [&] { known = TVM30::GetDriverInfo(key, value); },
        [&](TraceEvent& e, bool finished) {
            if (finished)
                e.With("result", known);
            if (finished && known)
                e.With("value", value);
        });
    return known;
}

namespace {

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
                       RealText(driver.NozzleVolume[channel][dispenser][nozzle]);
        }
        if (!words.empty()) {
            e.With("words", words).With("volumes", volumes);
        }
    }
    e.WithHex("record", record);
}

}  // namespace

void TracedDriver::PollDispenserStatus(std::uint8_t channel, std::uint8_t dispenser,
                                       std::uint8_t count, StatusRecord& record) {
    Operation(
        "PollDispenserStatus", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("count", count)
                .WithHex("record", record.bytes);
        },
        [&] { TVM30::PollDispenserStatus(channel, dispenser, count, record); },
        [&](TraceEvent& e, bool) {
            PollOutcome(e, *this, channel, dispenser, count, record.bytes);
        });
}

void TracedDriver::StopFillOnRequest(std::uint32_t channel, std::uint32_t dispenser,
                                     std::uint32_t reserved, std::uint8_t stopFlag) {
    Operation(
        "StopFillOnRequest", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("r1", reserved)
                .With("flag", stopFlag);
        },
        [&] { TVM30::StopFillOnRequest(channel, dispenser, reserved, stopFlag); }, Nothing);
}

void TracedDriver::StopFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t reserved,
                            std::uint8_t stopFlag) {
    Operation(
        "StopFill", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("r1", reserved)
                .With("flag", stopFlag);
        },
        [&] { TVM30::StopFill(channel, dispenser, reserved, stopFlag); }, Nothing);
}

void TracedDriver::ReservedOperationC(std::uint32_t a, std::uint32_t b) {
    Operation(
        "ReservedOperationC", 0, 0, [&](TraceEvent& e) { e.With("r1", a).With("r2", b); },
        [&] { TVM30::ReservedOperationC(a, b); }, Nothing);
}

void TracedDriver::ReservedOperationD(std::uint32_t a, std::uint32_t b) {
    Operation(
        "ReservedOperationD", 0, 0, [&](TraceEvent& e) { e.With("r1", a).With("r2", b); },
        [&] { TVM30::ReservedOperationD(a, b); }, Nothing);
}

void TracedDriver::PollDispenserStatusEx(std::uint8_t channel, std::uint8_t dispenser,
                                         std::uint8_t count, StatusRecordEx& record) {
    Operation(
        "PollDispenserStatusEx", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("ch", channel)
                .With("disp", dispenser)
                .With("count", count)
                .WithHex("record", record.bytes);
        },
        [&] { TVM30::PollDispenserStatusEx(channel, dispenser, count, record); },
        [&](TraceEvent& e, bool) {
            PollOutcome(e, *this, channel, dispenser, count, record.bytes);
            if (IsDispenser(channel, dispenser)) {
                e.With("mode", DispenserMode[channel][dispenser]);
            }
        });
}

void TracedDriver::HandleHostEvent(std::uint32_t event, std::uint32_t reserved,
                                   std::uint8_t channel, std::uint8_t dispenser,
                                   std::uint8_t nozzle) {
    Operation(
        "HandleHostEvent", channel, dispenser,
        [&](TraceEvent& e) {
            e.With("event", event)
                .With("r1", reserved)
                .With("ch", channel)
                .With("disp", dispenser)
                .With("nozzle", nozzle);
        },
        [&] { TVM30::HandleHostEvent(event, reserved, channel, dispenser, nozzle); }, Nothing);
}

std::int32_t TracedDriver::ApplyLinkSettings(std::uint32_t channel) {
    std::int32_t result = 0;
    Operation(
        "ApplyLinkSettings", channel, 0, [&](TraceEvent& e) { e.With("ch", channel); },
        [&] { result = TVM30::ApplyLinkSettings(channel); }, Returned("result", result));
    return result;
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
