// A virtual controller bus for one channel: the dispensers' controllers as the driver meets
// them on the line. It takes request frames and answers them byte for byte as a controller
// does, runs fills that flow in time, keeps prices, doses, totalisers and memory cells, and
// misbehaves on purpose when asked to. Time is passed in: on a virtual clock a whole fill
// runs in microseconds and nothing sleeps; on the real clock it runs for a person to watch.
//
// The emulator is a peer of the driver, not a part of it: it implements the nozzle
// addressing and the field encodings on its own, so that it checks the driver rather than
// echoing it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::emulator {

using Duration = std::chrono::nanoseconds;
using namespace std::chrono_literals;
// Wall-clock time, for what must mean the same instant to another process (whose steady
// clock starts anew): a fill's start in the bus's memory.
using WallTime = std::chrono::sys_time<Duration>;

// ---- Time.

class Clock {
  public:
    virtual ~Clock() = default;
    // Time since the clock's start.
    virtual Duration Now() const = 0;
    // Lets d pass: a virtual clock jumps, the real clock sleeps.
    virtual void Advance(Duration d) = 0;
};

class VirtualClock final : public Clock {
  public:
    Duration Now() const override { return now_; }
    void Advance(Duration d) override {
        if (d > Duration::zero())
            now_ += d;
    }

  private:
    Duration now_{};
};

// Steady time since construction. Advance sleeps only when pacing is on, so that a demo
// can show the line's own speed while a monitor that waits by itself need not.
class RealClock final : public Clock {
  public:
    explicit RealClock(bool pace = true);
    Duration Now() const override;
    void Advance(Duration d) override;

  private:
    std::chrono::steady_clock::time_point start_;
    bool pace_;
};

// ---- Configuration.

// How a controller marks the layout of its data replies: plain fields with implied
// decimals, or fields with a decimal point behind the mark 0xF2 in reply byte 4.
enum class ReplyLayout { Plain, Marked };

inline constexpr int kMaxDispenserNumber = 32;
inline constexpr int kMaxNozzles = 6;
inline constexpr std::uint8_t kModeCell = 148;  // the mode, or 255: look at 150
inline constexpr std::uint8_t kExtendedModeCell = 150;
inline constexpr std::uint8_t kDecimalsCell = 129;  // high nibble volume, low nibble money

struct DispenserConfig {
    std::uint8_t number = 1;   // 1..32; also the bus address of the parameter commands
    std::uint8_t nozzles = 1;  // 1..6
    // The controller's mode as its cells give it: a character such as '1' (plain modes),
    // 0x40..0x47 (kept behind 255 in cell 148, the mode in cell 150, decimals in cell 129),
    // or '0' (the mode whose status the host derives from the volume).
    std::uint8_t mode = '1';
    std::uint8_t volumeDecimals = 2;  // used by modes 0x40..0x47 only
    std::uint8_t moneyDecimals = 2;
    ReplyLayout layout = ReplyLayout::Plain;
    double flowRate = 0.5;                     // litres per second
    std::array<double, kMaxNozzles> prices{};  // unit prices at start-up
    std::array<double, kMaxNozzles> totals{};  // volume totalisers at start-up, litres
    // Raw cells written after the mode's own cells, for odd set-ups: (RAM cell, value).
    std::vector<std::pair<std::uint8_t, std::uint8_t>> cells;
    // The controller's ROM at start-up (every other ROM cell holds 0): (ROM cell, value).
    std::vector<std::pair<std::uint8_t, std::uint8_t>> romCells;
    // A write-protected ROM acknowledges a write and keeps what it held.
    bool romWritable = true;
};

struct Config {
    // The interleaved nozzle addressing (the driver's OrigAdres option): both ends of the
    // line must agree on it.
    bool interleavedAddressing = false;
    std::vector<DispenserConfig> dispensers;
    Duration turnaround = 5ms;   // from the end of a request to the first reply byte
    Duration lateDelay = 400ms;  // a late reply's first byte, after the request
    Duration splitGap = 30ms;    // silence between the bytes of a split reply
    // A customer stands at every pump: an authorised nozzle is lifted at once and the fill
    // starts; a mode-'0' controller starts a fill as soon as a nozzle is lifted.
    bool autoLift = true;
};

// A configuration that cannot describe a bus: the message says what and where.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads the small text format (see emulator/README.md and examples/bus/station.conf); throws
// ConfigError with the line number. The result has been validated.
Config ParseConfig(std::string_view text);
Config LoadConfig(const std::string& path);
// Throws ConfigError when the configuration cannot be a bus: numbers or counts out of range,
// a dispenser twice, or two nozzles with the same bus address ("nozzle code 5 is used by
// dispenser 2 nozzle 4 and dispenser 5 nozzle 1").
void Validate(const Config& config);

// The bus address of a nozzle under the given addressing.
std::uint8_t NozzleAddress(bool interleaved, std::uint8_t dispenser, std::uint8_t nozzle);

// ---- Faults.

enum class Fault : std::uint8_t {
    WrongFirstByte,   // the reply starts with something other than 'A'
    OnlyAcknowledge,  // a lone 'A' where a data reply was due
    MissingEnd,       // the data frame ends without its 'E'
    WrongChecksum,    // the data frame's checksum is off by one
    NonDigit,         // a number field carries a non-digit (the frame itself is sound)
    Silence,          // no reply at all
    LateReply,        // the reply comes after Config::lateDelay
    SplitBytes,       // the reply's bytes come one at a time, Config::splitGap apart
    ShortFrame,       // the data frame stops a data byte early, resealed: sound, yet short
};
inline constexpr std::size_t kFaultCount = 9;
inline constexpr std::array<Fault, kFaultCount> kAllFaults = {
    Fault::WrongFirstByte, Fault::OnlyAcknowledge, Fault::MissingEnd,
    Fault::WrongChecksum,  Fault::NonDigit,        Fault::Silence,
    Fault::LateReply,      Fault::SplitBytes,      Fault::ShortFrame};

// "first-byte", "only-ack", "no-end", "checksum", "non-digit", "silence", "late", "split",
// "short".
std::string_view FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);

// ---- Requests and replies.

// What the controllers put on the line for one request.
struct Reply {
    static constexpr std::size_t kCapacity = 32;
    std::array<std::uint8_t, kCapacity> bytes{};
    std::uint8_t length = 0;     // 0: nobody answers
    Duration delay{};            // from the end of the request to the first byte
    Duration byteGap{};          // silence between consecutive bytes, beyond their wire time
    std::optional<Fault> fault;  // the fault that shaped this reply, if any

    bool Silent() const { return length == 0; }
    std::span<const std::uint8_t> Bytes() const { return {bytes.data(), length}; }
};

// ---- The state of a nozzle, as a test or a monitor sees it.

enum class NozzlePhase {
    Idle,        // hung up
    Waiting,     // lifted, waiting for an authorisation
    Authorised,  // authorised, not lifted yet
    Running,     // fuel flowing
    Stopped,     // stopped by command or by hanging up before the dose
    Ended,       // the dose was reached
};
std::string_view PhaseName(NozzlePhase phase);

struct NozzleView {
    std::uint8_t address = 0;
    NozzlePhase phase = NozzlePhase::Idle;
    bool lifted = false;
    double volume = 0;      // the current or last fill, litres
    double amount = 0;      // the current or last fill, money
    double total = 0;       // the volume totaliser, litres
    double price = 0;       // unit price as the controller holds it (from hundredths)
    double volumeDose = 0;  // the pending or running dose; 0 = none
    double moneyDose = 0;
};

struct EmulatorCounters {
    std::uint64_t requests = 0;  // frames that reached the bus
    std::uint64_t answered = 0;  // replies put on the line (faulty ones included)
    std::uint64_t ignored = 0;   // frames no controller answers (bad frame, unknown address)
    std::uint64_t faults = 0;    // replies shaped by a fault
};

struct ControllerMemory;  // emulator/Memory.h

class Emulator {
  public:
    // The emulator runs on the given clock, which must outlive it; without one it owns a
    // virtual clock. Throws ConfigError for a configuration that Validate refuses.
    explicit Emulator(Config config, Clock* clock = nullptr);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    const Config& Configuration() const { return config_; }
    Clock& GetClock() { return *clock_; }
    Duration Now() const { return clock_->Now(); }
    // Lets time pass on the emulator's clock (on a virtual clock: instantly).
    void Advance(Duration d) { clock_->Advance(d); }

    // Answers one request frame ('H' data checksum 'E') at the clock's current time. A frame
    // that is malformed, for an address that no nozzle or dispenser has, or with the wrong
    // length for its command gets no answer, as on a real bus.
    Reply Handle(std::span<const std::uint8_t> request);

    // The customer at the pump. Lifting a nozzle of a mode-'0' controller starts its fill;
    // presetLitres (0: none) is the dose a customer keyed in at the pump.
    void LiftNozzle(std::uint8_t dispenser, std::uint8_t nozzle, double presetLitres = 0);
    void HangUpNozzle(std::uint8_t dispenser, std::uint8_t nozzle);

    // Faults on command: the next `count` replies that the fault can shape (a checksum fault
    // waits for a data reply; silence fits any) get it. Faults on command come before faults
    // at a rate, one fault per reply.
    void InjectFault(Fault fault, int count = 1);
    // Faults at a rate: each reply the fault can shape gets it with this probability,
    // drawn from a generator seeded with SetFaultSeed (reproducible runs).
    void SetFaultRate(Fault fault, double probability);
    void SetFaultSeed(std::uint64_t seed);
    void ClearFaults();
    int PendingFaults() const;

    // Inspection. Throws std::out_of_range for a dispenser or nozzle the bus lacks.
    NozzleView Nozzle(std::uint8_t dispenser, std::uint8_t nozzle) const;
    std::uint8_t RamCell(std::uint8_t dispenser, std::uint8_t cell) const;
    std::uint8_t RomCell(std::uint8_t dispenser, std::uint8_t cell) const;
    // The mode the controller works in now (from its cells, as a host reads them).
    std::uint8_t Mode(std::uint8_t dispenser) const;
    // The dispenser a request frame is meant for: a parameter command's controller by its
    // number, any other command's by the nozzle address; 0 when no controller has it.
    std::uint8_t DispenserOf(std::span<const std::uint8_t> request) const;
    const EmulatorCounters& Counters() const { return counters_; }

    // ---- Memory that outlives the process (emulator/Memory.h, emulator/MemoryFile.h).

    // Called after every change a restarted bus must see: a command that sets a price, a
    // dose or a cell, or starts or stops a fill; a nozzle lifted or hung up. A fill that
    // flows on or reaches its dose is no change: where it stands follows from its start.
    std::function<void()> onMemoryChanged;
    // The controllers' memory as it is now, the fills' starts in wall-clock time: `clockStart`
    // is the wall time at which the bus's clock read zero.
    std::vector<ControllerMemory> Remember(WallTime clockStart) const;
    // Takes back a memory Remember gave, `clockStart` being the wall time at which this
    // bus's clock read zero: a fill that was running has flowed on since it started, in
    // wall-clock time, up to its dose. A controller
    // the memory does not hold keeps its configuration. Throws MemoryError, having changed
    // nothing, when the memory does not fit the bus (a dispenser it lacks, another number
    // of nozzles).
    void Restore(std::span<const ControllerMemory> memory, WallTime clockStart);
    // The customer holding the nozzle hangs up once its running fill reaches `litres`,
    // whether or not anyone looks: how a restarted bus lets a customer who filled and left
    // while it was down have done so, at the volume they came for.
    void HangUpWhenReached(std::uint8_t dispenser, std::uint8_t nozzle, double litres);

  private:
    struct Controller;
    struct NozzleState;

    Controller& ControllerOf(std::uint8_t dispenser);
    const Controller& ControllerOf(std::uint8_t dispenser) const;
    NozzleState& NozzleOf(std::uint8_t dispenser, std::uint8_t nozzle);
    // Builds the clean reply; returns the index of the last byte of its number field, or 0.
    std::size_t Answer(std::span<const std::uint8_t> data, Reply& reply);
    void MemoryChanged() const;
    static bool Fits(Fault fault, const Reply& reply, std::size_t numberEnd);
    std::optional<Fault> NextFault(const Reply& reply, std::size_t numberEnd);
    void ApplyFault(Reply& reply, std::size_t numberEnd);

    Config config_;
    std::unique_ptr<VirtualClock> ownClock_;
    Clock* clock_;
    std::vector<Controller> controllers_;
    // Bus address -> (controller index + 1, nozzle), 0 when nobody has it.
    std::array<std::pair<std::uint8_t, std::uint8_t>, 256> nozzleByAddress_{};
    std::array<std::uint8_t, 256> controllerByNumber_{};
    std::array<int, kFaultCount> injected_{};
    std::array<double, kFaultCount> rates_{};
    std::mt19937_64 random_{0x5eed};
    EmulatorCounters counters_;
};

}  // namespace fuel::emulator
