// Doses for the next fill, in litres (five digits) or in money (six digits). With WDoza the
// same dose goes out a second time, always scaled by 100, for controllers that only take a
// dose that way.
#include "driver/NumberFields.h"
#include "driver/TVM30.h"

namespace fuel {
namespace {

constexpr std::size_t kVolumeDigits = 5;
constexpr std::size_t kMoneyDigits = 6;
constexpr char kVolumeLimitNotSet[] = "Невозможно установить предел по литрам";
constexpr char kMoneyLimitNotSet[] = "Невозможно установить предел по сумме";

void CheckAddress(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle) {
    CheckedArray<int, 1, kChannels>::Check(channel);
    CheckedArray<int, 1, kDispensers>::Check(dispenser);
    CheckedArray<int, 1, kNozzles>::Check(nozzle);
}

// One dose command: address, letter, the units in a fixed-width field. Higher digits than
// the field holds are dropped, as the controllers read the field; a negative dose has no
// digits at all and is refused before anything is sent.
void SendDose(TVM30& driver, std::uint8_t channel, std::uint8_t dispenser, std::uint8_t nozzle,
              char letter, std::size_t digits, std::int32_t units, const char* failure) {
    if (units < 0) {
        throw ESerialIO(failure);
    }
    CommandBuffer buffer{};
    buffer[0] = driver.NozzleCode(dispenser, nozzle);
    buffer[1] = static_cast<std::uint8_t>(letter);
    WriteDigits(std::span(buffer).subspan(2, digits), units);
    if (driver.Exchange(channel, buffer, static_cast<std::uint8_t>(2 + digits), 1) != 0) {
        throw ESerialIO(failure);
    }
}

}  // namespace

void TVM30::SetVolumeLimit(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                           std::uint32_t, double limit) {
    CheckAddress(channel, dispenser, nozzle);
    const auto line = static_cast<std::uint8_t>(channel);
    const auto dispenserByte = static_cast<std::uint8_t>(dispenser);
    const auto nozzleByte = static_cast<std::uint8_t>(nozzle);

    VolumeLimit[line][dispenserByte] = limit;
    if (InModeZero(line, dispenserByte)) {
        return;
    }
    const std::int32_t units = ScaleToUnits(limit, FieldScale(HasDecimalsMode(line, dispenserByte),
                                                              VolumeDecimals[line][dispenserByte]));
    SendDose(*this, line, dispenserByte, nozzleByte, 'd', kVolumeDigits, units, kVolumeLimitNotSet);
    CurrentNozzle[line][dispenserByte] = nozzleByte;
    if (WDoza) {
        VolumeLimit[line][dispenserByte] = limit;
        SendDose(*this, line, dispenserByte, nozzleByte, 'd', kVolumeDigits,
                 ScaleToUnits(limit, 100), kVolumeLimitNotSet);
    }
}

void TVM30::SetMoneyLimit(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                          std::uint32_t reserved, double limit) {
    CheckAddress(channel, dispenser, nozzle);
    const auto line = static_cast<std::uint8_t>(channel);
    const auto dispenserByte = static_cast<std::uint8_t>(dispenser);
    const auto nozzleByte = static_cast<std::uint8_t>(nozzle);

    MoneyLimit[line][dispenserByte] = limit;
    if (StartInLiter || InModeZero(line, dispenserByte)) {
        const double price = NozzlePrice[line][dispenserByte][nozzleByte];
        // Without a price there is no litre equivalent; an infinite dose would never be
        // reached, so the dose is refused instead.
        if (price == 0) {
            throw ESerialIO(kMoneyLimitNotSet);
        }
        SetVolumeLimit(channel, dispenser, nozzle, reserved, limit / price);
        return;
    }
    const std::int32_t units = ScaleToUnits(limit, FieldScale(HasDecimalsMode(line, dispenserByte),
                                                              MoneyDecimals[line][dispenserByte]));
    SendDose(*this, line, dispenserByte, nozzleByte, 'e', kMoneyDigits, units, kMoneyLimitNotSet);
    CurrentNozzle[line][dispenserByte] = nozzleByte;
    if (WDoza) {
        MoneyLimit[line][dispenserByte] = limit;
        SendDose(*this, line, dispenserByte, nozzleByte, 'e', kMoneyDigits,
                 ScaleToUnits(limit, 100), kMoneyLimitNotSet);
    }
}

}  // namespace fuel
