// The status poll: one 'D' exchange per nozzle, decoded into the host's status codes and the
// nozzle's volume; the summary of a dispenser's nozzles; the controller mode, read from the
// controller's cells and re-read less and less often while it stays the same.
#include <algorithm>
#include <array>

#include "driver/NumberFields.h"
#include "driver/TVM30.h"

namespace fuel {
namespace {

constexpr std::uint8_t kMarkedLayout = 0xF2;
constexpr char kPollFailed[] = "Невозможно выполнить опрос состояния пистолета (Варно)";
constexpr char kDispenserOutOfRange[] = "Номер колонки выходит за допустимый диапозон";

// A volume above this from a controller whose fields carry no decimals of their own is
// taken as a corrupt reply.
constexpr double kPlausibleVolume = 1000.0;

// The code a nozzle gets when its reply could not be trusted: no code at all, so the
// record shows that nozzle as not reported.
constexpr std::uint8_t kNoCode = 0;

// Cells of the controller's mode and decimals.
constexpr std::int32_t kModeCell = 148;
constexpr std::int32_t kExtendedModeCell = 150;
constexpr std::int32_t kDecimalsCell = 129;
constexpr std::int32_t kModeInExtendedCell = 255;

bool IsDecimalsMode(std::int32_t mode) {
    return mode >= 0x40 && mode <= 0x47;
}

bool InRange(int value, int low, int high) {
    return value >= low && value <= high;
}

}  // namespace

std::uint8_t TVM30::DecodeStatusChar(std::uint8_t statusChar, std::uint8_t channel,
                                     std::uint8_t dispenser, std::uint8_t nozzle) {
    const auto ended = static_cast<std::uint8_t>(status_code::kFillEnded + nozzle);
    switch (statusChar & 0x7F) {
        case 0x08:
        case 0x0C:
        case 0x15:
        case 0x18:
            return ended;
        case 0x11:
            return static_cast<std::uint8_t>(status_code::kWaiting + nozzle);
        case 0x20:
        case 0x30:
        case 0x60:
        case 0x70:
            return status_code::kIdle;
        case 0x22:
        case 0x32:
            return static_cast<std::uint8_t>(status_code::kFillRunning + nozzle);
        case 0x36:
            // The controller reports a fill it wants ended: end it before reporting it.
            StopPump(channel, dispenser, 1);
            return ended;
        default:
            return status_code::kNoActivity;
    }
}

std::uint8_t TVM30::PollNozzle(std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
                               std::uint8_t nozzle, CommandBuffer& buffer) {
    buffer[0] = NozzleCode(dispenser, nozzle);
    buffer[1] = 'D';
    if (Exchange(channel, buffer, 2, 18) != 0) {
        throw ESerialIO(kPollFailed);
    }
    if (LinkState[channel] != link_state::kGood) {
        return kNoCode;
    }
    const std::span<const std::uint8_t> reply(buffer);
    double& volume = NozzleVolume[channel][dispenser][nozzle];
    std::uint8_t code;

    if (InModeZero(channel, dispenser)) {
        // The controller reports no status: it follows from the volume against the dose.
        const double previous = volume;
        const FieldReading reading = ReadSeparatorField(reply.subspan(5, 6));
        volume = reading.value;
        std::uint16_t& word = NozzleStatus[channel][dispenser][count];
        if (!reading.valid) {
            LinkState[channel] = link_state::kBad;
            return static_cast<std::uint8_t>(word);  // the status as it stood
        }
        const double limit = VolumeLimit[channel][dispenser];
        std::uint16_t status = word;
        if (InRange(status, status_code::kFillEnded, status_code::kRunningOnNozzle1)) {
            if (!(limit > volume)) {  // the dose is reached
                if (previous < volume) {
                    if (status == status_code::kRunningOnNozzle1) {
                        status = status_code::kEndedOnNozzle1;
                    }
                } else if (status == status_code::kFillEnded) {
                    status = status_code::kNoActivity;
                } else if (status == status_code::kEndedOnNozzle1) {
                    status = status_code::kFillEnded;
                } else {
                    status = status_code::kEndedOnNozzle1;
                }
                word = status;
            }
        } else if (status == status_code::kNoActivity && previous < volume && previous > 0) {
            // Rising from a positive volume: running, though the word itself stays idle.
            status = status_code::kRunningOnNozzle1;
        }
        code = static_cast<std::uint8_t>(status);
    } else if (buffer[4] == kMarkedLayout) {
        code = DecodeStatusChar(buffer[5], channel, dispenser, nozzle);
        const FieldReading reading = ReadSeparatorField(reply.subspan(7, 9));
        volume = reading.value;
        if (!reading.valid) {
            LinkState[channel] = link_state::kBad;
            return code;
        }
    } else {
        code = DecodeStatusChar(buffer[4], channel, dispenser, nozzle);
        const FieldReading reading = ReadPlainField(reply.subspan(5, 6));
        if (!reading.valid) {
            // A corrupt volume is not stored: the nozzle keeps the one it had.
            LinkState[channel] = link_state::kBad;
            return code;
        }
        volume = reading.value / FieldScale(HasDecimalsMode(channel, dispenser),
                                            VolumeDecimals[channel][dispenser]);
    }

    if (code == status_code::kIdle) {
        volume = 0;
    }
    // A fill reported ended with nothing dispensed is stopped explicitly (nozzle 6's code
    // is left alone).
    if (InRange(code, status_code::kFillEnded + 1, status_code::kFillEnded + 5) && volume == 0) {
        StopFill(channel, dispenser, nozzle, 1);
    }
    if (!InModeZero(channel, dispenser) && !HasDecimalsMode(channel, dispenser) &&
        volume > kPlausibleVolume) {
        LinkState[channel] = link_state::kBad;
    }
    return code;
}

void TVM30::PollDispenserStatus(std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
                                StatusRecord& record) {
    // The summary and its nozzle read 0 until a nozzle's code is taken; the nozzle words of
    // the caller's record are left as they are.
    record.bytes[0] = 0;
    record.bytes[1] = 0;
    record.bytes[14] = 0;
    record.bytes[15] = 0;
    if (dispenser > kDispensers) {
        throw Exception(kDispenserOutOfRange);
    }
    // Dispenser 0 or a bad channel is a range error before anything is sent.
    CheckedArray<int, 1, kChannels>::Check(channel);
    CheckedArray<int, 1, kDispensers>::Check(dispenser);

    CommandBuffer buffer{};
    for (int nozzle = 1; nozzle <= count; ++nozzle) {
        CheckedArray<int, 1, kNozzles>::Check(nozzle);
        const std::uint8_t code =
            PollNozzle(channel, dispenser, count, static_cast<std::uint8_t>(nozzle), buffer);
        record.SetWord(nozzle, code);
        if (LinkState[channel] != link_state::kGood) {
            return;
        }
        // The summary keeps the first fill state it meets; idle and waiting give way to a
        // later idle or fill state; no activity gives way to anything.
        const std::uint8_t summary = record.bytes[0];
        bool take = false;
        if (summary <= 7) {
            take = true;
        } else if (InRange(summary, 192, 199)) {
            take = code > 198;
        } else if (InRange(summary, 200, 207) || InRange(summary, 224, 231)) {
            take = code == status_code::kIdle || (code & 0xD0) == 0xD0;
        }
        if (take) {
            record.bytes[0] = code;
            record.bytes[14] = static_cast<std::uint8_t>(nozzle);
        }
    }
    // Only the nozzles polled now are published; the others keep their last words.
    if (!InModeZero(channel, dispenser)) {
        for (int nozzle = 1; nozzle <= count; ++nozzle) {
            NozzleStatus[channel][dispenser][nozzle] = record.Word(nozzle);
        }
    }
}

void TVM30::PollDispenserStatusEx(std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
                                  StatusRecordEx& record) {
    RefreshDispenserMode(channel, dispenser);
    StatusRecord local;
    PollDispenserStatus(channel, dispenser, count, local);
    std::copy_n(local.bytes.begin(), 15, record.bytes.begin());
    std::fill_n(record.bytes.begin() + 16, 4, std::uint8_t{0});
}

void TVM30::RefreshDispenserMode(std::uint8_t channel, std::uint8_t dispenser) {
    std::int32_t& countdown = ModeRecheckCountdown[channel][dispenser];
    if (countdown != 0) {
        --countdown;
        return;
    }
    std::int32_t mode = ReadParameter(channel, dispenser, kModeCell);
    if (mode == kModeInExtendedCell) {
        mode = ReadParameter(channel, dispenser, kExtendedModeCell);
        if (IsDecimalsMode(mode)) {
            const std::int32_t decimals = ReadParameter(channel, dispenser, kDecimalsCell);
            VolumeDecimals[channel][dispenser] = static_cast<std::uint8_t>((decimals >> 4) & 0x0F);
            MoneyDecimals[channel][dispenser] = static_cast<std::uint8_t>(decimals & 0x0F);
        }
    }
    std::int32_t& stable = ModeStableCount[channel][dispenser];
    if (mode == DispenserMode[channel][dispenser]) {
        ++stable;
    } else {
        stable = 1;
        DispenserMode[channel][dispenser] = static_cast<std::uint8_t>(mode);
    }
    countdown = stable;
}

std::int32_t TVM30::InitLink(std::uint32_t channel) {
    HostLink->SetLineInitializer(channel, ApplyLinkSettingsHandler());
    return ApplyLinkSettings(channel);
}

bool TVM30::GetDriverInfo(std::uint32_t key, std::uint32_t& value) {
    static constexpr std::array<std::uint32_t, 11> kValues = {0, 1,   0, 1,     1, 1,
                                                              0, 400, 1, 50000, 1};
    if (key == 0 || key >= kValues.size()) {
        return false;
    }
    value = kValues[key];
    return true;
}

std::uint8_t TVM30::GetStatusCode(std::uint8_t channel, std::uint8_t dispenser) {
    StatusRecord record;
    PollDispenserStatus(channel, dispenser, 0, record);
    return record.Summary();
}

}  // namespace fuel
