#include "cli/Session.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cli/Arguments.h"
#include "cli/Format.h"
#include "cli/LinePrinter.h"
#include "cli/SerialLine.h"
#include "driver/TraceFile.h"
#include "driver/TraceSettings.h"
#include "emulator/BuiltInBus.h"
#include "emulator/ServeTrace.h"

namespace fuel::cli {
namespace {

// The trace's time on the emulated bus: its clock, counted from the moment the run began, so
// that a run on the virtual clock shows the time each exchange takes on the line.
class BusTraceClock final : public TraceClock {
  public:
    explicit BusTraceClock(const emulator::Clock& bus)
        : bus_(bus), start_(SystemTraceClock().Now().wall) {}
    TraceTime Now() override {
        const auto elapsed = bus_.Now();
        return {start_ + std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(),
                elapsed};
    }

  private:
    const emulator::Clock& bus_;
    TraceStamp start_;
};

}  // namespace

namespace {

emulator::Fault FaultNamed(const std::string& name) {
    const auto fault = emulator::FaultFromName(name);
    if (!fault) {
        std::string kinds;
        for (const emulator::Fault known : emulator::kAllFaults) {
            kinds += (kinds.empty() ? "" : ", ") + std::string(emulator::FaultName(known));
        }
        throw UsageError("no fault '" + name + "'; the kinds are " + kinds);
    }
    return *fault;
}

}  // namespace

std::pair<emulator::Fault, double> ParseFaultRate(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) {
        throw UsageError("--fault-rate wants KIND=PROBABILITY, not '" + text + "'");
    }
    return {FaultNamed(text.substr(0, equals)),
            ParseQuantity(text.substr(equals + 1), "the fault's probability", 1)};
}

FaultRequest ParseFault(const std::string& text) {
    const auto at = text.find('@');
    FaultRequest request{FaultNamed(text.substr(0, at)), 0};
    if (at != std::string::npos) {
        request.request =
            static_cast<int>(ParseInteger(text.substr(at + 1), "the fault's request", 1, 1000000));
    }
    return request;
}

struct Session::Impl {
    std::ostream& out;
    std::uint8_t channel;
    BusTime time;
    std::unique_ptr<emulator::Clock> clock;
    std::unique_ptr<emulator::Emulator> bus;
    EmulatorLink link;
    Line* line = &link;  // the driver's: the embedded bus's link, or the serial line's
    std::unique_ptr<TVM30> driver;
    std::set<int> modeKnown;
    std::vector<FaultRequest> timedFaults;  // faults for a given request number
    std::uint64_t framesSent = 0;
    std::unique_ptr<SerialLine> serial;  // --port and --ports
    std::shared_ptr<TraceSink> trace;    // the driver's trace, and the embedded bus's side
    std::vector<std::uint8_t> lastFrame;

    explicit Impl(std::ostream& o) : out(o) {}
};

Session::Session(const SessionOptions& options, std::ostream& out)
    : impl_(std::make_unique<Impl>(out)) {
    Impl& s = *impl_;
    s.channel = options.channel;
    s.time = options.time;
    const std::vector<FaultRequest>& faults = options.faults;
    const std::vector<std::pair<emulator::Fault, double>>& faultRates = options.faultRates;
    emulator::Config config =
        options.configPath ? emulator::LoadConfig(*options.configPath) : emulator::BuiltInConfig();
    if (options.time == BusTime::Virtual) {
        s.clock = std::make_unique<emulator::VirtualClock>();
    } else {
        s.clock = std::make_unique<emulator::RealClock>(options.time == BusTime::Paced);
    }
    s.bus = std::make_unique<emulator::Emulator>(config, s.clock.get());
    s.link.Attach(s.channel, s.bus.get());
    if (options.retries) {
        s.link.Options(s.channel).retry = RetryPolicy::WithRetries(*options.retries);
    }
    for (const auto& [fault, probability] : faultRates) {
        s.bus->SetFaultRate(fault, probability);
    }
    for (const FaultRequest& fault : faults) {
        if (fault.request == 0) {
            s.bus->InjectFault(fault.fault);
        } else {
            s.timedFaults.push_back(fault);
        }
    }

    // The driver's trace: --trace-file, else the options file's TraceFile.
    std::optional<TraceFileSettings> traceSettings;
    if (options.traceFile) {
        traceSettings =
            TraceFileSettings{std::filesystem::path(*options.traceFile), kDefaultTraceBytes};
    } else {
        traceSettings = ReadTraceSettings(IniFile::Load(options.cnfIniPath), options.cnfIniPath);
    }
    const bool onSerialLine = options.port.has_value() || options.portMap.has_value();
    if (traceSettings) {
        if (options.traceMaxKb) {
            traceSettings->maxBytes = TraceCapFromKilobytes(*options.traceMaxKb);
        }
        std::shared_ptr<TraceClock> clock;
        if (onSerialLine) {
            clock = std::make_shared<SystemTraceClock>();
        } else {
            clock = std::make_shared<BusTraceClock>(*s.clock);
        }
        s.trace = std::make_shared<TraceFile>(std::move(*traceSettings), "fuelctl", clock);
    }

    const bool onBus = !onSerialLine;
    if (onSerialLine) {
        if (!faults.empty() || !faultRates.empty()) {
            throw UsageError(
                "--fault shapes the embedded emulator's replies; on a serial line "
                "give the faults to fuel-emulator");
        }
        s.serial = std::make_unique<SerialLine>(options.port, options.portMap, s.channel,
                                                options.retries, out);
        s.line = &s.serial->Link();
    }

    // Frames are counted as they go out, so that a fault meant for request N meets it.
    const bool trace = options.trace;
    s.line->onFrame = [this, trace](std::uint32_t, std::span<const std::uint8_t> frame,
                                    int attempt) {
        Impl& self = *impl_;
        ++self.framesSent;
        self.lastFrame.assign(frame.begin(), frame.end());
        for (const FaultRequest& fault : self.timedFaults) {
            if (static_cast<std::uint64_t>(fault.request) == self.framesSent) {
                self.bus->InjectFault(fault.fault);
            }
        }
        if (trace) {
            PrintFrame(self.out, frame, attempt);
        }
    };
    if (trace || (s.trace && onBus)) {
        s.line->onReply = [this, trace, onBus](std::uint32_t channel,
                                               std::span<const std::uint8_t> reply,
                                               const AttemptVerdict& verdict) {
            Impl& self = *impl_;
            if (trace) {
                PrintReply(self.out, reply, verdict);
            }
            if (self.trace && onBus) {
                // The bus's side: what it was asked, what it put on the line, and the fault
                // it was told to shape the reply with.
                self.trace->Record(emulator::ServeEvent(
                    self.trace->Now().wall, self.framesSent, channel,
                    self.bus->DispenserOf(self.lastFrame), self.lastFrame, reply,
                    emulator::FaultFromName(verdict.fault), verdict.wireTime));
            }
        };
    }

    s.driver.reset(CreateDriver(options.flags, s.line, options.cnfIniPath, s.trace));
    // Both ends of the line must number the nozzles alike; the bus configuration says how.
    s.driver->OrigAdres = config.interleavedAddressing;
    // As a host does before it uses a line.
    s.driver->InitLink(s.channel);
}

Session::~Session() = default;

TVM30& Session::Driver() {
    return *impl_->driver;
}
std::uint8_t Session::Channel() const {
    return impl_->channel;
}
emulator::Emulator& Session::Bus() {
    return *impl_->bus;
}
EmulatorLink& Session::Link() {
    return impl_->link;
}
BusTime Session::Time() const {
    return impl_->time;
}

std::vector<DispenserOnBus> Session::Dispensers() const {
    std::vector<DispenserOnBus> dispensers;
    for (const emulator::DispenserConfig& d : impl_->bus->Configuration().dispensers) {
        dispensers.push_back({d.number, d.nozzles});
    }
    std::sort(dispensers.begin(), dispensers.end(),
              [](const DispenserOnBus& a, const DispenserOnBus& b) { return a.number < b.number; });
    return dispensers;
}

int Session::NozzleCount(int dispenser) const {
    for (const emulator::DispenserConfig& d : impl_->bus->Configuration().dispensers) {
        if (d.number == dispenser) {
            return d.nozzles;
        }
    }
    return 0;
}

void Session::Pass(std::chrono::milliseconds time) {
    if (impl_->serial) {
        std::this_thread::sleep_for(time);
    } else {
        impl_->bus->Advance(time);
    }
}

void Session::LiftNozzle(int dispenser, int nozzle, double presetLitres) {
    if (impl_->serial) {
        throw UsageError("on a serial line the customers are at the dispensers themselves");
    }
    if (nozzle > NozzleCount(dispenser)) {
        throw UsageError("the bus has no dispenser " + std::to_string(dispenser) + " nozzle " +
                         std::to_string(nozzle));
    }
    impl_->bus->LiftNozzle(static_cast<std::uint8_t>(dispenser), static_cast<std::uint8_t>(nozzle),
                           presetLitres);
}

void Session::HangUpNozzle(int dispenser, int nozzle) {
    if (impl_->serial) {
        throw UsageError("on a serial line the customers are at the dispensers themselves");
    }
    if (nozzle > NozzleCount(dispenser)) {
        throw UsageError("the bus has no dispenser " + std::to_string(dispenser) + " nozzle " +
                         std::to_string(nozzle));
    }
    impl_->bus->HangUpNozzle(static_cast<std::uint8_t>(dispenser),
                             static_cast<std::uint8_t>(nozzle));
}

bool Session::ModeKnown(int dispenser) const {
    return impl_->modeKnown.count(dispenser) != 0;
}
void Session::MarkModeKnown(int dispenser) {
    impl_->modeKnown.insert(dispenser);
}

Session::ExchangeSummary Session::Summary() const {
    const LineCounters& c = impl_->line->Counters();
    if (impl_->serial) {
        return {c.exchanges, c.failed, std::nullopt, 0};
    }
    return {c.exchanges, c.failed, std::chrono::duration<double>(c.wireTime).count(),
            impl_->link.Options(impl_->channel).baudRate};
}

void Session::PrintStats(std::ostream& out) const {
    LineFacts facts;
    if (impl_->serial) {
        facts.lastProblem = impl_->serial->Link().LastProblem(impl_->channel);
    } else {
        facts.baudRate = impl_->link.Options(impl_->channel).baudRate;
    }
    PrintLineStats(out, impl_->line->Counters(), facts);
}

}  // namespace fuel::cli
