// The volume and amount of the running or last fill, the final reading that forgets the
// doses, the volume totaliser, and the unconditional stop.
#include <cmath>

#include "driver/NumberFields.h"
#include "driver/TVM30.h"

namespace fuel {
namespace {

constexpr std::uint8_t kMarkedLayout = 0xF2;
constexpr char kDataPollFailed[] = "Невозможно выполнить опрос данных отлива";

// Money to the hundredth, halves up, as the controllers bill it.
double RoundToHundredths(double value) {
    return std::trunc(value * 100 + 0.5) / 100;
}

}  // namespace

double TVM30::GetDispensedData(std::uint32_t channel, std::uint32_t dispenser, double& amount) {
    amount = 0;
    const std::uint8_t nozzle = CurrentNozzle[channel][dispenser];
    const double price = NozzlePrice[channel][dispenser][nozzle];
    double volume = NozzleVolume[channel][dispenser][nozzle];
    amount = RoundToHundredths(volume * price);
    if (InModeZero(channel, dispenser) || LinkState[channel] != link_state::kGood) {
        return volume;
    }

    // The controller's own amount for the fill; the driver's computed one stands in for it
    // whenever it cannot be had.
    const double computedAmount = amount;
    try {
        const auto line = static_cast<std::uint8_t>(channel);
        CommandBuffer buffer{};
        buffer[0] = NozzleCode(static_cast<std::uint8_t>(dispenser), nozzle);
        buffer[1] = 'U';
        if (Exchange(line, buffer, 2, 18) != 0) {
            throw ESerialIO(kDataPollFailed);
        }
        if (LinkState[channel] == link_state::kGood) {
            const std::span<const std::uint8_t> reply(buffer);
            FieldReading reported;
            if (buffer[4] == kMarkedLayout) {
                reported = ReadSeparatorField(reply.subspan(7, 9));
            } else {
                reported = ReadDigitField(reply.subspan(5, 7));
                reported.value /= FieldScale(HasDecimalsMode(channel, dispenser),
                                             MoneyDecimals[channel][dispenser]);
            }
            amount = reported.value;
            if (!reported.valid) {
                LinkState[channel] = link_state::kBad;
                return volume;
            }
        }
    } catch (...) {
        // No amount from the controller: the computed one stays in the output.
    }

    // Reconcile. A reported amount far from the computed one wins only when the fill ran
    // past its litre dose (the controller stopped on money); otherwise the computed one does.
    const double tolerance = price / 100;
    if (std::fabs(computedAmount - amount) > tolerance) {
        const double volumeLimit = VolumeLimit[channel][dispenser];
        if (volume > volumeLimit && volumeLimit > 0 && price != 0) {
            volume = RoundToHundredths(amount / price);
        } else {
            amount = computedAmount;
        }
    }
    if (std::fabs(amount - MoneyLimit[channel][dispenser]) < tolerance) {
        amount = MoneyLimit[channel][dispenser];
    }
    return volume;
}

void TVM30::GetFinalDispensedData(std::uint32_t channel, std::uint32_t dispenser, double& volume,
                                  double& amount) {
    volume = GetDispensedData(channel, dispenser, amount);
    if (!InModeZero(channel, dispenser)) {
        VolumeLimit[channel][dispenser] = 0;
        MoneyLimit[channel][dispenser] = 0;
    }
}

void TVM30::GetTotalizer(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                         double& volumeTotal, double& moneyTotal, std::uint32_t, std::uint32_t) {
    volumeTotal = 0;
    moneyTotal = 0;
    const bool modeZero = InModeZero(channel, dispenser);  // checks channel and dispenser
    CheckedArray<int, 0, 255>::Check(nozzle);
    const auto line = static_cast<std::uint8_t>(channel);

    CommandBuffer buffer{};
    buffer[0] = NozzleCode(static_cast<std::uint8_t>(dispenser), static_cast<std::uint8_t>(nozzle));
    buffer[1] = 'S';
    if (Exchange(line, buffer, 2, 20) != 0) {
        throw ESerialIO(kDataPollFailed);
    }
    if (LinkState[line] != link_state::kGood) {
        return;
    }
    const std::span<const std::uint8_t> reply(buffer);
    if (modeZero || buffer[4] == kMarkedLayout) {
        const FieldReading total = ReadSeparatorField(reply.subspan(modeZero ? 5 : 7, 9));
        volumeTotal = total.value;
        if (!total.valid) {
            LinkState[line] = link_state::kBad;
        }
        return;
    }
    // Checked like the other forms: a byte that is no digit would otherwise be read as a digit
    // worth its code and give a wrong total on a good link.
    const FieldReading total = ReadDigitField(reply.subspan(5, 8));
    volumeTotal = total.value /
                  FieldScale(HasDecimalsMode(channel, dispenser), VolumeDecimals[line][dispenser]);
    if (!total.valid) {
        LinkState[line] = link_state::kBad;
    }
}

void TVM30::StopFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t, std::uint8_t) {
    if (!InModeZero(channel, dispenser)) {
        StopPump(channel, dispenser, 1);
        return;
    }
    std::uint16_t& status = NozzleStatus[channel][dispenser][1];
    if (status == status_code::kRunningOnNozzle1) {
        status = status_code::kEndedOnNozzle1;
    }
}

}  // namespace fuel
