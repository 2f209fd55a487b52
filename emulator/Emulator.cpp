// The controllers on the bus: request parsing, the replies at their byte positions, fills
// that flow with the clock, and faults on command or at a rate.
#include "emulator/Emulator.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "emulator/Memory.h"

namespace fuel::emulator {

RealClock::RealClock(bool pace) : start_(std::chrono::steady_clock::now()), pace_(pace) {}

Duration RealClock::Now() const {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - start_);
}

void RealClock::Advance(Duration d) {
    if (pace_ && d > Duration::zero()) {
        std::this_thread::sleep_for(d);
    }
}

namespace {

constexpr std::uint8_t kAcknowledge = 'A';
constexpr std::uint8_t kFrameStart = 'H';
constexpr std::uint8_t kFrameEnd = 'E';
constexpr std::uint8_t kLayoutMark = 0xF2;
constexpr std::uint8_t kFiller = '0';
constexpr std::uint8_t kCorruptDigit = 'x';
constexpr std::uint8_t kModeZero = '0';

// Status characters as the controller reports a nozzle's phase.
constexpr std::uint8_t kStatusIdle = '0';
constexpr std::uint8_t kStatusWaiting = 0x11;
constexpr std::uint8_t kStatusRunning = '2';
constexpr std::uint8_t kStatusStopped = 0x08;
constexpr std::uint8_t kStatusEnded = 0x0C;

constexpr std::array<std::string_view, kFaultCount> kFaultNames = {
    "first-byte", "only-ack", "no-end", "checksum", "non-digit",
    "silence",    "late",     "split",  "short"};

struct CommandShape {
    std::uint8_t letter;
    std::uint8_t dataLength;   // n: address, letter, parameters
    std::uint8_t replyLength;  // R: 1 for the acknowledgement
};
constexpr std::array<CommandShape, 13> kCommands = {{
    {'u', 2, 1},
    {'s', 2, 1},
    {'d', 7, 1},
    {'e', 8, 1},
    {'c', 6, 1},
    {'C', 2, 11},
    {'U', 2, 18},
    {'S', 2, 20},
    {'D', 2, 18},
    {'X', 4, 11},
    {'Y', 4, 11},
    {'x', 6, 1},
    {'y', 6, 1},
}};

const CommandShape* ShapeOf(std::uint8_t letter) {
    for (const CommandShape& shape : kCommands) {
        if (shape.letter == letter)
            return &shape;
    }
    return nullptr;
}

bool IsParameterCommand(std::uint8_t letter) {
    return letter == 'X' || letter == 'Y' || letter == 'x' || letter == 'y';
}

bool HasDecimalsMode(std::uint8_t mode) {
    return mode >= 0x40 && mode <= 0x47;
}

double PowerOfTen(int exponent) {
    return std::pow(10.0, exponent);
}

// Whole units of a field with that many decimals. Only a field's low digits go out, so the
// value is taken modulo 10^18 first: a large total with many decimals must not overflow.
std::uint64_t Units(double value, int decimals) {
    const double scaled = std::fmod(std::round(value * PowerOfTen(decimals)), 1e18);
    return scaled > 0 ? static_cast<std::uint64_t>(scaled) : 0;
}

// Fixed-width decimal digits, most significant first; digits that do not fit are dropped,
// as a controller's fixed fields wrap.
void PutDigits(std::span<std::uint8_t> field, std::uint64_t units) {
    for (std::size_t i = field.size(); i-- > 0;) {
        field[i] = static_cast<std::uint8_t>('0' + units % 10);
        units /= 10;
    }
}

// A field with a decimal point: "000012.34". A field without decimals still carries the
// point, last, so that a reader never meets a number without one.
void PutDecimal(std::span<std::uint8_t> field, double value, int decimals) {
    const std::size_t fraction =
        std::min<std::size_t>(static_cast<std::size_t>(decimals), field.size() - 1);
    const std::uint64_t units = Units(value, static_cast<int>(fraction));
    const std::uint64_t scale = static_cast<std::uint64_t>(PowerOfTen(static_cast<int>(fraction)));
    const std::size_t point = field.size() - 1 - fraction;
    PutDigits(field.first(point), units / scale);
    field[point] = '.';
    PutDigits(field.subspan(point + 1), units % scale);
}

bool ParseDigits(std::span<const std::uint8_t> field, std::uint64_t& value) {
    value = 0;
    for (const std::uint8_t c : field) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool ParseNibbles(std::uint8_t high, std::uint8_t low, std::uint8_t& value) {
    if (high < 0x30 || high > 0x3F || low < 0x30 || low > 0x3F)
        return false;
    value = static_cast<std::uint8_t>(((high - 0x30) << 4) | (low - 0x30));
    return true;
}

double Seconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

std::string_view FaultName(Fault fault) {
    return kFaultNames[static_cast<std::size_t>(fault)];
}

std::optional<Fault> FaultFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFaultCount; ++i) {
        if (kFaultNames[i] == name)
            return kAllFaults[i];
    }
    return std::nullopt;
}

std::string_view PhaseName(NozzlePhase phase) {
    switch (phase) {
        case NozzlePhase::Idle:
            return "idle";
        case NozzlePhase::Waiting:
            return "waiting";
        case NozzlePhase::Authorised:
            return "authorised";
        case NozzlePhase::Running:
            return "running";
        case NozzlePhase::Stopped:
            return "stopped";
        case NozzlePhase::Ended:
            return "ended";
    }
    return "?";
}

struct Emulator::NozzleState {
    std::uint8_t address = 0;
    NozzlePhase phase = NozzlePhase::Idle;
    bool lifted = false;
    double volume = 0;       // the current or last fill, litres, unrounded
    double totalBefore = 0;  // the totaliser before the current or last fill
    int price = 0;           // hundredths, as set by 'c'
    int fillPrice = 0;       // the price the current or last fill runs at
    double volumeDose = 0;   // preset for the next fill (one of the two, or neither)
    double moneyDose = 0;
    double fillVolumeLimit = 0;  // the running fill stops here; 0: no limit
    double fillMoneyLimit = 0;   // the money dose the fill runs to, for its final amount
    double fillFlowRate = 0;     // litres per second, as the fill started
    // The customer hangs up when the running fill reaches it; 0: when they see fit.
    double hangUpVolume = 0;
    Duration runStart{};
};

struct Emulator::Controller {
    DispenserConfig config;
    std::array<std::uint8_t, 256> ram{};
    std::array<std::uint8_t, 256> rom{};
    std::array<NozzleState, kMaxNozzles> nozzles{};

    std::uint8_t Mode() const {
        return ram[kModeCell] == 255 ? ram[kExtendedModeCell] : ram[kModeCell];
    }
    int VolumeDecimals() const { return HasDecimalsMode(Mode()) ? ram[kDecimalsCell] >> 4 : 2; }
    int MoneyDecimals() const { return HasDecimalsMode(Mode()) ? ram[kDecimalsCell] & 0x0F : 2; }

    // Brings a running fill up to the time now: flow at its rate, up to the dose or to the
    // volume at which its customer hangs up, whichever comes first.
    void Refresh(NozzleState& n, Duration now) const {
        if (n.phase != NozzlePhase::Running)
            return;
        double volume = n.fillFlowRate * Seconds(now - n.runStart);
        const bool doseFirst =
            n.hangUpVolume <= 0 || (n.fillVolumeLimit > 0 && n.fillVolumeLimit <= n.hangUpVolume);
        if (n.fillVolumeLimit > 0 && doseFirst && volume >= n.fillVolumeLimit) {
            volume = n.fillVolumeLimit;
            n.phase = NozzlePhase::Ended;
        } else if (n.hangUpVolume > 0 && !doseFirst && volume >= n.hangUpVolume) {
            volume = n.hangUpVolume;
            n.phase = NozzlePhase::Ended;
            n.lifted = false;
        }
        n.volume = std::max(volume, 0.0);
    }

    double Amount(const NozzleState& n) const {
        if (n.fillMoneyLimit > 0 && n.phase == NozzlePhase::Ended &&
            n.volume >= n.fillVolumeLimit) {
            return n.fillMoneyLimit;  // a money dose ends on its amount, to the last coin
        }
        const double scale = PowerOfTen(MoneyDecimals());
        return std::round(n.volume * n.fillPrice / 100.0 * scale) / scale;
    }

    void StartFill(NozzleState& n, Duration now, double presetLitres) {
        n.totalBefore += n.volume;
        n.volume = 0;
        n.fillPrice = n.price;
        n.fillFlowRate = config.flowRate;
        n.hangUpVolume = 0;
        n.fillMoneyLimit = 0;
        n.fillVolumeLimit = presetLitres;
        if (n.volumeDose > 0) {
            n.fillVolumeLimit = n.volumeDose;
        } else if (n.moneyDose > 0) {
            n.fillMoneyLimit = n.moneyDose;
            // Without a price no money dose can be measured out: the fill ends at once
            // rather than run without a limit.
            n.fillVolumeLimit = n.price > 0 ? n.moneyDose / (n.price / 100.0) : 0;
            if (n.price <= 0) {
                n.phase = NozzlePhase::Ended;
                n.volumeDose = n.moneyDose = 0;
                return;
            }
        }
        n.volumeDose = n.moneyDose = 0;
        n.runStart = now;
        n.phase = NozzlePhase::Running;
    }
};

Emulator::Emulator(Config config, Clock* clock)
    : config_(std::move(config)),
      ownClock_(clock == nullptr ? std::make_unique<VirtualClock>() : nullptr),
      clock_(clock == nullptr ? ownClock_.get() : clock) {
    Validate(config_);
    controllers_.reserve(config_.dispensers.size());
    for (const DispenserConfig& d : config_.dispensers) {
        Controller c;
        c.config = d;
        if (HasDecimalsMode(d.mode)) {
            c.ram[kModeCell] = 255;
            c.ram[kExtendedModeCell] = d.mode;
        } else {
            c.ram[kModeCell] = d.mode;
            c.ram[kExtendedModeCell] = d.mode;
        }
        c.ram[kDecimalsCell] = static_cast<std::uint8_t>((d.volumeDecimals << 4) | d.moneyDecimals);
        for (const auto& [cell, value] : d.cells) {
            c.ram[cell] = value;
        }
        for (const auto& [cell, value] : d.romCells) {
            c.rom[cell] = value;
        }
        for (std::uint8_t n = 1; n <= d.nozzles; ++n) {
            NozzleState& nozzle = c.nozzles[n - 1u];
            nozzle.address = NozzleAddress(config_.interleavedAddressing, d.number, n);
            nozzle.price = static_cast<int>(std::lround(d.prices[n - 1u] * 100));
            nozzle.fillPrice = nozzle.price;
            nozzle.fillFlowRate = d.flowRate;
            nozzle.totalBefore = d.totals[n - 1u];
            nozzleByAddress_[nozzle.address] = {static_cast<std::uint8_t>(controllers_.size() + 1),
                                                n};
        }
        controllerByNumber_[d.number] = static_cast<std::uint8_t>(controllers_.size() + 1);
        controllers_.push_back(c);
    }
}

Emulator::~Emulator() = default;

Emulator::Controller& Emulator::ControllerOf(std::uint8_t dispenser) {
    const std::uint8_t index = controllerByNumber_[dispenser];
    if (index == 0) {
        throw std::out_of_range("the bus has no dispenser " + std::to_string(dispenser));
    }
    return controllers_[index - 1u];
}

const Emulator::Controller& Emulator::ControllerOf(std::uint8_t dispenser) const {
    return const_cast<Emulator*>(this)->ControllerOf(dispenser);
}

Reply Emulator::Handle(std::span<const std::uint8_t> request) {
    ++counters_.requests;
    Reply reply;
    reply.delay = config_.turnaround;

    // A controller answers only a sound frame: 'H', at least address and letter, the
    // checksum over 'H', the data and 'E', then 'E'.
    const std::size_t size = request.size();
    bool sound = size >= 5 && request[0] == kFrameStart && request[size - 1] == kFrameEnd;
    if (sound) {
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < size; ++i) {
            if (i != size - 2)
                sum = static_cast<std::uint8_t>(sum + request[i]);
        }
        sound = sum == request[size - 2];
    }
    std::size_t numberEnd = 0;
    if (sound) {
        numberEnd = Answer(request.subspan(1, size - 3), reply);
    }
    if (reply.Silent()) {
        ++counters_.ignored;
        return reply;
    }
    ApplyFault(reply, numberEnd);
    if (!reply.Silent())
        ++counters_.answered;
    return reply;
}

std::uint8_t Emulator::DispenserOf(std::span<const std::uint8_t> request) const {
    if (request.size() < 3)
        return 0;
    const std::uint8_t address = request[1];
    if (IsParameterCommand(request[2])) {
        return controllerByNumber_[address] != 0 ? address : std::uint8_t{0};
    }
    const std::uint8_t index = nozzleByAddress_[address].first;
    return index != 0 ? controllers_[index - 1u].config.number : std::uint8_t{0};
}

std::size_t Emulator::Answer(std::span<const std::uint8_t> data, Reply& reply) {
    const std::uint8_t address = data[0];
    const std::uint8_t letter = data[1];
    const CommandShape* shape = ShapeOf(letter);
    if (shape == nullptr || shape->dataLength != data.size())
        return 0;

    const Duration now = clock_->Now();
    Controller* controller = nullptr;
    NozzleState* nozzle = nullptr;
    if (IsParameterCommand(letter)) {
        if (controllerByNumber_[address] == 0)
            return 0;
        controller = &controllers_[controllerByNumber_[address] - 1u];
    } else {
        const auto [index, number] = nozzleByAddress_[address];
        if (index == 0)
            return 0;
        controller = &controllers_[index - 1u];
        nozzle = &controller->nozzles[number - 1u];
        controller->Refresh(*nozzle, now);
    }
    Controller& c = *controller;

    const auto acknowledge = [&] {
        reply.bytes[0] = kAcknowledge;
        reply.length = 1;
    };
    // Data replies: 'A' 'H', the echoed address and letter, the fields, checksum, 'E'. The
    // caller fills the fields between.
    const std::uint8_t length = shape->replyLength;
    std::span<std::uint8_t> bytes(reply.bytes.data(), length);
    const bool marked = c.config.layout == ReplyLayout::Marked;
    std::size_t numberEnd = 0;  // the last byte of the reply's number field
    const auto beginData = [&] {
        std::fill(bytes.begin(), bytes.end(), kFiller);
        bytes[0] = kAcknowledge;
        bytes[1] = kFrameStart;
        bytes[2] = address;
        bytes[3] = letter;
        if (marked)
            bytes[4] = kLayoutMark;
        reply.length = length;
    };

    switch (letter) {
        case 'u': {
            NozzleState& n = *nozzle;
            switch (n.phase) {
                case NozzlePhase::Running:
                case NozzlePhase::Authorised:
                    break;
                case NozzlePhase::Waiting:
                    c.StartFill(n, now, 0);
                    break;
                case NozzlePhase::Idle:
                case NozzlePhase::Stopped:
                case NozzlePhase::Ended:
                    if (n.lifted || config_.autoLift) {
                        n.lifted = true;
                        c.StartFill(n, now, 0);
                    } else {
                        n.phase = NozzlePhase::Authorised;
                    }
                    break;
            }
            MemoryChanged();
            acknowledge();
            return 0;
        }
        case 's': {
            NozzleState& n = *nozzle;
            if (n.phase == NozzlePhase::Running) {
                n.phase = NozzlePhase::Stopped;
            } else if (n.phase == NozzlePhase::Authorised) {
                n.phase = NozzlePhase::Idle;
            }
            MemoryChanged();
            acknowledge();
            return 0;
        }
        case 'd':
        case 'e':
        case 'c': {
            std::uint64_t units = 0;
            if (!ParseDigits(data.subspan(2), units))
                return 0;  // garbled: no answer
            NozzleState& n = *nozzle;
            if (letter == 'd') {
                const int decimals = HasDecimalsMode(c.Mode()) ? c.VolumeDecimals() : 2;
                n.volumeDose = static_cast<double>(units) / PowerOfTen(decimals);
                n.moneyDose = 0;
            } else if (letter == 'e') {
                const int decimals = HasDecimalsMode(c.Mode()) ? c.MoneyDecimals() : 2;
                n.moneyDose = static_cast<double>(units) / PowerOfTen(decimals);
                n.volumeDose = 0;
            } else {
                n.price = static_cast<int>(units);
            }
            MemoryChanged();
            acknowledge();
            return 0;
        }
        case 'C': {
            beginData();
            if (!marked)
                bytes[4] = kFiller;
            PutDigits(bytes.subspan(5, 4), static_cast<std::uint64_t>(nozzle->price));
            numberEnd = 8;
            break;
        }
        case 'D': {
            const NozzleState& n = *nozzle;
            std::uint8_t status = kStatusIdle;
            switch (n.phase) {
                case NozzlePhase::Idle:
                    status = kStatusIdle;
                    break;
                case NozzlePhase::Waiting:
                    status = kStatusWaiting;
                    break;
                case NozzlePhase::Authorised:
                case NozzlePhase::Running:
                    status = kStatusRunning;
                    break;
                case NozzlePhase::Stopped:
                    status = kStatusStopped;
                    break;
                case NozzlePhase::Ended:
                    status = kStatusEnded;
                    break;
            }
            beginData();
            if (c.Mode() == kModeZero) {
                bytes[4] = status;
                PutDecimal(bytes.subspan(5, 6), n.volume, 2);
                numberEnd = 10;
            } else if (marked) {
                bytes[5] = status;
                PutDecimal(bytes.subspan(7, 9), n.volume, c.VolumeDecimals());
                numberEnd = 15;
            } else {
                bytes[4] = status;
                PutDigits(bytes.subspan(5, 6), Units(n.volume, c.VolumeDecimals()));
                numberEnd = 10;
            }
            break;
        }
        case 'U': {
            beginData();
            const double amount = c.Amount(*nozzle);
            if (marked) {
                PutDecimal(bytes.subspan(7, 9), amount, c.MoneyDecimals());
                numberEnd = 15;
            } else {
                PutDigits(bytes.subspan(5, 7), Units(amount, c.MoneyDecimals()));
                numberEnd = 11;
            }
            break;
        }
        case 'S': {
            beginData();
            const double total = nozzle->totalBefore + nozzle->volume;
            if (c.Mode() == kModeZero) {
                PutDecimal(bytes.subspan(5, 9), total, 2);
                numberEnd = 13;
            } else if (marked) {
                PutDecimal(bytes.subspan(7, 9), total, c.VolumeDecimals());
                numberEnd = 15;
            } else {
                PutDigits(bytes.subspan(5, 8), Units(total, c.VolumeDecimals()));
                numberEnd = 12;
            }
            break;
        }
        case 'X':
        case 'Y':
        case 'x':
        case 'y': {
            std::uint8_t cell = 0;
            if (!ParseNibbles(data[2], data[3], cell))
                return 0;
            auto& memory = (letter == 'X' || letter == 'x') ? c.ram : c.rom;
            if (letter == 'x' || letter == 'y') {
                std::uint8_t value = 0;
                if (!ParseNibbles(data[4], data[5], value))
                    return 0;
                if (letter == 'x' || c.config.romWritable) {
                    memory[cell] = value;
                }
                MemoryChanged();
                acknowledge();
                return 0;
            }
            beginData();
            const std::size_t at = marked ? 7 : 5;
            bytes[at] = static_cast<std::uint8_t>(0x30 + (memory[cell] >> 4));
            bytes[at + 1] = static_cast<std::uint8_t>(0x30 + (memory[cell] & 0x0F));
            break;
        }
        default:
            return 0;
    }
    std::uint8_t sum = kFrameEnd;
    for (std::size_t i = 1; i + 2 < length; ++i) {
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    }
    bytes[length - 2u] = sum;
    bytes[length - 1u] = kFrameEnd;
    return numberEnd;
}

bool Emulator::Fits(Fault fault, const Reply& reply, std::size_t numberEnd) {
    const bool data = reply.length > 1;
    switch (fault) {
        case Fault::WrongFirstByte:
        case Fault::Silence:
        case Fault::LateReply:
            return true;
        case Fault::OnlyAcknowledge:
        case Fault::MissingEnd:
        case Fault::WrongChecksum:
        case Fault::SplitBytes:
        case Fault::ShortFrame:
            return data;
        case Fault::NonDigit:
            return data && numberEnd != 0;
    }
    return false;
}

std::optional<Fault> Emulator::NextFault(const Reply& reply, std::size_t numberEnd) {
    for (std::size_t i = 0; i < kFaultCount; ++i) {
        if (injected_[i] > 0 && Fits(kAllFaults[i], reply, numberEnd)) {
            --injected_[i];
            return kAllFaults[i];
        }
    }
    for (std::size_t i = 0; i < kFaultCount; ++i) {
        if (rates_[i] > 0 && Fits(kAllFaults[i], reply, numberEnd) &&
            std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rates_[i]) {
            return kAllFaults[i];
        }
    }
    return std::nullopt;
}

void Emulator::ApplyFault(Reply& reply, std::size_t numberEnd) {
    const std::optional<Fault> fault = NextFault(reply, numberEnd);
    if (!fault)
        return;
    ++counters_.faults;
    reply.fault = fault;
    const std::size_t length = reply.length;
    const auto reseal = [&] {
        const std::size_t sealed = reply.length;
        std::uint8_t sum = kFrameEnd;
        for (std::size_t i = 1; i + 2 < sealed; ++i) {
            sum = static_cast<std::uint8_t>(sum + reply.bytes[i]);
        }
        reply.bytes[sealed - 2] = sum;
    };
    switch (*fault) {
        case Fault::WrongFirstByte:
            reply.bytes[0] = 'N';
            break;
        case Fault::OnlyAcknowledge:
            reply.length = 1;
            break;
        case Fault::MissingEnd:
            reply.bytes[length - 1] = 0;
            reply.length = static_cast<std::uint8_t>(length - 1);
            break;
        case Fault::WrongChecksum:
            reply.bytes[length - 2] = static_cast<std::uint8_t>(reply.bytes[length - 2] + 1);
            break;
        case Fault::NonDigit:
            // A sound frame around a broken number: only the field's reader can catch it.
            reply.bytes[numberEnd] = kCorruptDigit;
            reseal();
            break;
        case Fault::Silence:
            reply.length = 0;
            break;
        case Fault::LateReply:
            reply.delay = config_.lateDelay;
            break;
        case Fault::SplitBytes:
            reply.byteGap = config_.splitGap;
            break;
        case Fault::ShortFrame:
            // The last data byte goes; the checksum and the 'E' move up and are made to fit,
            // so that only the length betrays it.
            reply.length = static_cast<std::uint8_t>(length - 1);
            reply.bytes[length - 2] = kFrameEnd;
            reply.bytes[length - 1] = 0;
            reseal();
            break;
    }
}

void Emulator::InjectFault(Fault fault, int count) {
    injected_[static_cast<std::size_t>(fault)] += std::max(count, 0);
}

void Emulator::SetFaultRate(Fault fault, double probability) {
    rates_[static_cast<std::size_t>(fault)] = std::clamp(probability, 0.0, 1.0);
}

void Emulator::SetFaultSeed(std::uint64_t seed) {
    random_.seed(seed);
}

void Emulator::ClearFaults() {
    injected_.fill(0);
    rates_.fill(0.0);
}

int Emulator::PendingFaults() const {
    int pending = 0;
    for (const int n : injected_)
        pending += n;
    return pending;
}

Emulator::NozzleState& Emulator::NozzleOf(std::uint8_t dispenser, std::uint8_t nozzle) {
    Controller& c = ControllerOf(dispenser);
    if (nozzle < 1 || nozzle > c.config.nozzles) {
        throw std::out_of_range("dispenser " + std::to_string(dispenser) + " has no nozzle " +
                                std::to_string(nozzle));
    }
    NozzleState& n = c.nozzles[nozzle - 1u];
    c.Refresh(n, clock_->Now());
    return n;
}

void Emulator::LiftNozzle(std::uint8_t dispenser, std::uint8_t nozzle, double presetLitres) {
    NozzleState& n = NozzleOf(dispenser, nozzle);
    Controller& c = ControllerOf(dispenser);
    if (n.lifted)
        return;
    n.lifted = true;
    if (c.Mode() == kModeZero || n.phase == NozzlePhase::Authorised) {
        // A mode-'0' controller is its own master: a lifted nozzle dispenses.
        c.StartFill(n, clock_->Now(), presetLitres);
    } else if (n.phase != NozzlePhase::Running) {
        n.phase = NozzlePhase::Waiting;
    }
    MemoryChanged();
}

void Emulator::HangUpNozzle(std::uint8_t dispenser, std::uint8_t nozzle) {
    NozzleState& n = NozzleOf(dispenser, nozzle);
    n.lifted = false;
    if (n.phase == NozzlePhase::Running) {
        n.phase = NozzlePhase::Ended;
    } else if (n.phase == NozzlePhase::Waiting) {
        n.phase = NozzlePhase::Idle;
    }
    MemoryChanged();
}

NozzleView Emulator::Nozzle(std::uint8_t dispenser, std::uint8_t nozzle) const {
    auto* self = const_cast<Emulator*>(this);
    const NozzleState& n = self->NozzleOf(dispenser, nozzle);
    const Controller& c = ControllerOf(dispenser);
    NozzleView view;
    view.address = n.address;
    view.phase = n.phase;
    view.lifted = n.lifted;
    view.volume = n.volume;
    view.amount = c.Amount(n);
    view.total = n.totalBefore + n.volume;
    view.price = n.price / 100.0;
    view.volumeDose = n.phase == NozzlePhase::Running ? n.fillVolumeLimit : n.volumeDose;
    view.moneyDose = n.phase == NozzlePhase::Running ? n.fillMoneyLimit : n.moneyDose;
    return view;
}

std::uint8_t Emulator::RamCell(std::uint8_t dispenser, std::uint8_t cell) const {
    return ControllerOf(dispenser).ram[cell];
}

std::uint8_t Emulator::RomCell(std::uint8_t dispenser, std::uint8_t cell) const {
    return ControllerOf(dispenser).rom[cell];
}

std::uint8_t Emulator::Mode(std::uint8_t dispenser) const {
    return ControllerOf(dispenser).Mode();
}

void Emulator::MemoryChanged() const {
    if (onMemoryChanged)
        onMemoryChanged();
}

std::vector<ControllerMemory> Emulator::Remember(WallTime clockStart) const {
    std::vector<ControllerMemory> memory;
    memory.reserve(controllers_.size());
    for (const Controller& c : controllers_) {
        ControllerMemory& kept = memory.emplace_back();
        kept.number = c.config.number;
        kept.ram = c.ram;
        kept.rom = c.rom;
        for (std::uint8_t i = 0; i < c.config.nozzles; ++i) {
            const NozzleState& n = c.nozzles[i];
            const bool running = n.phase == NozzlePhase::Running;
            kept.nozzles.push_back({static_cast<std::uint8_t>(i + 1), n.phase, n.lifted,
                                    n.totalBefore, running ? 0 : n.volume, n.price, n.fillPrice,
                                    n.volumeDose, n.moneyDose, n.fillVolumeLimit, n.fillMoneyLimit,
                                    n.fillFlowRate, clockStart + n.runStart});
        }
    }
    return memory;
}

void Emulator::Restore(std::span<const ControllerMemory> memory, WallTime clockStart) {
    // All of it is checked before any of it is taken: a memory refused changes nothing.
    for (const ControllerMemory& kept : memory) {
        const std::uint8_t index = controllerByNumber_[kept.number];
        if (index == 0)
            throw MemoryError("dispenser " + std::to_string(kept.number) + " is not on the bus");
        const std::size_t nozzles = controllers_[index - 1u].config.nozzles;
        if (kept.nozzles.size() != nozzles) {
            throw MemoryError("dispenser " + std::to_string(kept.number) + " has " +
                              std::to_string(nozzles) + " nozzles on the bus and " +
                              std::to_string(kept.nozzles.size()) + " in the memory");
        }
    }
    for (const ControllerMemory& kept : memory) {
        Controller& c = ControllerOf(kept.number);
        c.ram = kept.ram;
        c.rom = kept.rom;
        for (std::size_t i = 0; i < kept.nozzles.size(); ++i) {
            const NozzleMemory& nozzle = kept.nozzles[i];
            NozzleState& n = c.nozzles[i];
            n.phase = nozzle.phase;
            n.lifted = nozzle.lifted;
            n.totalBefore = nozzle.totalBefore;
            n.volume = nozzle.volume;
            n.price = nozzle.price;
            n.fillPrice = nozzle.fillPrice;
            n.volumeDose = nozzle.volumeDose;
            n.moneyDose = nozzle.moneyDose;
            n.fillVolumeLimit = nozzle.volumeLimit;
            n.fillMoneyLimit = nozzle.moneyLimit;
            n.fillFlowRate = nozzle.flowRate;
            n.hangUpVolume = 0;
            n.runStart = nozzle.started - clockStart;
        }
    }
}

void Emulator::HangUpWhenReached(std::uint8_t dispenser, std::uint8_t nozzle, double litres) {
    NozzleState& n = NozzleOf(dispenser, nozzle);
    if (n.phase != NozzlePhase::Running)
        return;
    n.hangUpVolume = litres;
    ControllerOf(dispenser).Refresh(n, clock_->Now());
}

}  // namespace fuel::emulator
