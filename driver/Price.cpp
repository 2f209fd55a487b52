// A nozzle's unit price: kept in the driver, sent in hundredths as four digits, and verified
// by reading it back, with at most three sends.
#include "driver/NumberFields.h"
#include "driver/TVM30.h"

namespace fuel {
namespace {

constexpr int kMaxPriceSends = 3;
constexpr std::size_t kPriceDigits = 4;
constexpr char kPriceNotSet[] = "Невозможно установить цену";

}  // namespace

std::int32_t TVM30::ReadPrice(std::uint32_t channel, std::uint32_t dispenser,
                              std::uint32_t nozzle) {
    try {
        const auto line = static_cast<std::uint8_t>(channel);
        CommandBuffer buffer{};
        buffer[0] =
            NozzleCode(static_cast<std::uint8_t>(dispenser), static_cast<std::uint8_t>(nozzle));
        buffer[1] = 'C';
        if (Exchange(line, buffer, 2, 11) != 0) {
            throw ESerialIO("Невозможно выполнить запрос цены");
        }
        if (LinkState[line] != link_state::kGood) {
            return 0;
        }
        return static_cast<std::int32_t>(ReadUncheckedDigits(std::span(buffer).subspan(5, 4)));
    } catch (...) {
        // A price that cannot be read back counts as not matching; SetPrice sends again.
        return 0;
    }
}

void TVM30::SetPrice(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                     std::uint32_t, std::uint32_t, double price) {
    NozzlePrice[channel][dispenser][nozzle] = price;
    if (InModeZero(channel, dispenser)) {
        return;
    }
    const auto line = static_cast<std::uint8_t>(channel);
    for (int sends = 0; sends < kMaxPriceSends;) {
        const std::int32_t hundredths = ScaleToUnits(price, 100);
        // Four digits hold 0.00..99.99: any other price would reach the controller as a
        // different one, so it is refused rather than sent.
        if (!FitsDigits(hundredths, kPriceDigits)) {
            throw ESerialIO(kPriceNotSet);
        }
        ++sends;
        CommandBuffer buffer{};
        buffer[0] =
            NozzleCode(static_cast<std::uint8_t>(dispenser), static_cast<std::uint8_t>(nozzle));
        buffer[1] = 'c';
        WriteDigits(std::span(buffer).subspan(2, kPriceDigits), hundredths);
        if (Exchange(line, buffer, 6, 1) != 0) {
            throw ESerialIO(kPriceNotSet);
        }
        if (LinkState[line] != link_state::kGood) {
            continue;
        }
        const std::int64_t readBack = ReadPrice(channel, dispenser, nozzle);
        const bool matches = readBack == std::int64_t{ScaleToUnits(price, 100)};
        LinkState[line] = link_state::kGood;
        if (matches) {
            return;
        }
    }
}

}  // namespace fuel
