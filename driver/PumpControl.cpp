// Starting and stopping a dispenser's pump, and the host's fill start and stop requests.
// Mode-'0' controllers take no start or stop command: for them the driver keeps the nozzle
// status words itself.
#include "driver/TVM30.h"

namespace fuel {
namespace {

using DispenserRange = CheckedArray<int, 1, kDispensers>;
using ChannelRange = CheckedArray<int, 1, kChannels>;
using NozzleNumberRange = CheckedArray<int, 0, 255>;

void CheckChannelAndDispenser(std::uint32_t channel, std::uint32_t dispenser) {
    DispenserRange::Check(dispenser);
    ChannelRange::Check(channel);
}

bool WaitingForStart(std::uint16_t status) {
    return status >= status_code::kWaiting + 1 && status <= status_code::kWaiting + kNozzles;
}

}  // namespace

std::int32_t TVM30::StartPump(std::uint32_t channel, std::uint32_t dispenser,
                              std::uint32_t nozzle) {
    CheckChannelAndDispenser(channel, dispenser);
    NozzleNumberRange::Check(nozzle);
    const auto line = static_cast<std::uint8_t>(channel);
    const auto dispenserByte = static_cast<std::uint8_t>(dispenser);
    const auto nozzleByte = static_cast<std::uint8_t>(nozzle);

    CurrentNozzle[line][dispenserByte] = nozzleByte;
    CommandBuffer buffer{};
    buffer[0] = NozzleCode(dispenserByte, nozzleByte);
    buffer[1] = 'u';
    if (Exchange(line, buffer, 2, 1) != 0) {
        throw ESerialIO("Can't START POMP");
    }
    return 0;
}

std::int32_t TVM30::StopPump(std::uint32_t channel, std::uint32_t dispenser,
                             std::uint8_t stopFlag) {
    if (stopFlag == 0) {
        return 0;
    }
    CheckChannelAndDispenser(channel, dispenser);
    const auto line = static_cast<std::uint8_t>(channel);
    const auto dispenserByte = static_cast<std::uint8_t>(dispenser);

    CommandBuffer buffer{};
    buffer[0] = NozzleCode(dispenserByte, CurrentNozzle[line][dispenserByte]);
    buffer[1] = 's';
    if (Exchange(line, buffer, 2, 1) != 0) {
        throw ESerialIO("Can't STOP POMP");
    }
    return 0;
}

void TVM30::StartFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                      std::uint8_t flag) {
    CheckChannelAndDispenser(channel, dispenser);
    if (!InModeZero(channel, dispenser)) {
        if (flag == 0) {
            StartPump(channel, dispenser, nozzle);
        }
        // Some controllers leave a lifted nozzle waiting after the first start: start again.
        if (WStart && WaitingForStart(NozzleStatus[channel][dispenser][nozzle])) {
            StartPump(channel, dispenser, nozzle);
        }
        return;
    }
    if (flag != 0) {
        StopPump(channel, dispenser, 1);
        StatusRecordEx discarded;
        PollDispenserStatusEx(static_cast<std::uint8_t>(channel),
                              static_cast<std::uint8_t>(dispenser), 1, discarded);
    }
    NozzleStatus[channel][dispenser][nozzle] = status_code::kRunningOnNozzle1;
}

void TVM30::StopFillOnRequest(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t,
                              std::uint8_t stopFlag) {
    CheckChannelAndDispenser(channel, dispenser);
    if (!InModeZero(channel, dispenser)) {
        StopPump(channel, dispenser, stopFlag);
        return;
    }
    std::uint16_t& status = NozzleStatus[channel][dispenser][1];
    if (status == status_code::kRunningOnNozzle1) {
        status = status_code::kEndedOnNozzle1;
    }
}

void TVM30::HandleHostEvent(std::uint32_t event, std::uint32_t, std::uint8_t channel,
                            std::uint8_t dispenser, std::uint8_t nozzle) {
    constexpr std::uint32_t kResetEvent = 4;
    if (event != kResetEvent) {
        return;
    }
    CheckChannelAndDispenser(channel, dispenser);
    if (!InModeZero(channel, dispenser)) {
        return;
    }
    NozzleStatus[channel][dispenser][nozzle] = status_code::kNoActivity;
}

}  // namespace fuel
