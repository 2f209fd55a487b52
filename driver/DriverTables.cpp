#include "driver/DriverTables.h"

#include "driver/HostLink.h"

namespace fuel {

DriverTables::DriverTables() {
    const DispenserState fresh;
    for (int channel = 1; channel <= kChannels; ++channel) {
        LinkState[channel] = link_state::kGood;
        for (int dispenser = 1; dispenser <= kDispensers; ++dispenser) {
            SetDispenser(channel, dispenser, fresh);
        }
    }
}

DispenserState DriverTables::Dispenser(std::int64_t channel, std::int64_t dispenser) const {
    DispenserState state;
    state.NozzlePrice = NozzlePrice[channel][dispenser];
    state.VolumeLimit = VolumeLimit[channel][dispenser];
    state.MoneyLimit = MoneyLimit[channel][dispenser];
    state.NozzleVolume = NozzleVolume[channel][dispenser];
    state.CurrentNozzle = CurrentNozzle[channel][dispenser];
    state.NozzleStatus = NozzleStatus[channel][dispenser];
    state.DispenserMode = DispenserMode[channel][dispenser];
    state.ModeRecheckCountdown = ModeRecheckCountdown[channel][dispenser];
    state.ModeStableCount = ModeStableCount[channel][dispenser];
    state.VolumeDecimals = VolumeDecimals[channel][dispenser];
    state.MoneyDecimals = MoneyDecimals[channel][dispenser];
    return state;
}

void DriverTables::SetDispenser(std::int64_t channel, std::int64_t dispenser,
                                const DispenserState& state) {
    // The first index checked is the first write's: nothing is written for one out of range.
    NozzlePrice[channel][dispenser] = state.NozzlePrice;
    VolumeLimit[channel][dispenser] = state.VolumeLimit;
    MoneyLimit[channel][dispenser] = state.MoneyLimit;
    NozzleVolume[channel][dispenser] = state.NozzleVolume;
    CurrentNozzle[channel][dispenser] = state.CurrentNozzle;
    NozzleStatus[channel][dispenser] = state.NozzleStatus;
    DispenserMode[channel][dispenser] = state.DispenserMode;
    ModeRecheckCountdown[channel][dispenser] = state.ModeRecheckCountdown;
    ModeStableCount[channel][dispenser] = state.ModeStableCount;
    VolumeDecimals[channel][dispenser] = state.VolumeDecimals;
    MoneyDecimals[channel][dispenser] = state.MoneyDecimals;
}

}  // namespace fuel
