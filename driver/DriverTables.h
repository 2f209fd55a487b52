// The driver object's tables of per-channel and per-dispenser state, which the commands and
// the status poll share, and the values they hold. Only the driver's operations write them;
// anything else reads them through TVM30::Tables() and changes them through the driver's
// named functions (restoring a traced state, choosing the current nozzle).
#pragma once

#include <cstdint>

#include "driver/CheckedArray.h"

namespace fuel {

inline constexpr int kChannels = 32;
inline constexpr int kDispensers = 32;
inline constexpr int kNozzles = 6;

template <typename T>
using ByChannel = CheckedArray<T, 1, kChannels>;
template <typename T>
using ByDispenser = ByChannel<CheckedArray<T, 1, kDispensers>>;
template <typename T>
using EachNozzle = CheckedArray<T, 1, kNozzles>;
template <typename T>
using ByNozzle = ByDispenser<EachNozzle<T>>;

// Status codes the driver hands to the host; the fill-related ones carry the nozzle number
// in their low three bits.
namespace status_code {
inline constexpr std::uint8_t kNoActivity = 192;
inline constexpr std::uint8_t kIdle = 200;
inline constexpr std::uint8_t kFillEnded = 208;    // + nozzle
inline constexpr std::uint8_t kFillRunning = 216;  // + nozzle
inline constexpr std::uint8_t kWaiting = 224;      // + nozzle
// A mode-'0' dispenser's words: a requested start reads as running on nozzle 1, a stop as
// ended on nozzle 1.
inline constexpr std::uint8_t kRunningOnNozzle1 = kFillRunning + 1;
inline constexpr std::uint8_t kEndedOnNozzle1 = kFillEnded + 1;
}  // namespace status_code

// The controller mode whose status, doses and prices the driver keeps itself.
inline constexpr std::uint8_t kModeZero = '0';

// One dispenser's entries of every table, named as the tables are. The defaults are what a
// new driver object starts with.
struct DispenserState {
    DispenserState() { NozzleStatus[1] = status_code::kNoActivity; }

    EachNozzle<double> NozzlePrice;
    double VolumeLimit = 0;
    double MoneyLimit = 0;
    EachNozzle<double> NozzleVolume;
    std::uint8_t CurrentNozzle = 1;
    EachNozzle<std::uint16_t> NozzleStatus;
    std::uint8_t DispenserMode = 0;
    std::int32_t ModeRecheckCountdown = 0;
    std::int32_t ModeStableCount = 1;
    std::uint8_t VolumeDecimals = 2;
    std::uint8_t MoneyDecimals = 2;

    bool operator==(const DispenserState&) const = default;
};

// The tables, in the order the host's driver declares them, every entry starting at its
// default. Every index is checked: one out of range is an ERangeError.
struct DriverTables {
    DriverTables();

    ByNozzle<double> NozzlePrice;
    ByDispenser<double> VolumeLimit;
    ByDispenser<double> MoneyLimit;
    ByNozzle<double> NozzleVolume;
    ByChannel<std::uint8_t> LinkState;
    ByDispenser<std::uint8_t> CurrentNozzle;
    ByNozzle<std::uint16_t> NozzleStatus;
    ByDispenser<std::uint8_t> DispenserMode;
    ByDispenser<std::int32_t> ModeRecheckCountdown;
    ByDispenser<std::int32_t> ModeStableCount;
    ByDispenser<std::uint8_t> VolumeDecimals;
    ByDispenser<std::uint8_t> MoneyDecimals;

    DispenserState Dispenser(std::int64_t channel, std::int64_t dispenser) const;
    void SetDispenser(std::int64_t channel, std::int64_t dispenser, const DispenserState& state);
};

}  // namespace fuel
