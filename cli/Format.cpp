#include "cli/Format.h"

#include <charconv>
#include <cstdio>

#include "driver/HostLink.h"
#include "driver/TVM30.h"

namespace fuel::cli {
namespace {

// The fill-related codes carry the nozzle in their low three bits; 208 and 216 are the bare
// bases and mean no particular nozzle.
int NozzleOf(std::uint8_t code) {
    return code & 0x07;
}

}  // namespace

std::string StatusWords(std::uint8_t code) {
    using namespace status_code;
    // The bare bases (208, 216, 224) come from the driver's own bookkeeping in mode '0',
    // where a fill's last steps carry no nozzle.
    const std::string on =
        NozzleOf(code) == 0 ? "" : " on nozzle " + std::to_string(NozzleOf(code));
    if (code == 0) {
        return "no status";
    }
    if (code == kNoActivity) {
        return "no activity";
    }
    if (code == kIdle) {
        return "idle";
    }
    if (code >= kFillEnded && code <= kFillEnded + kNozzles) {
        return "fill stopped or ended" + on;
    }
    if (code >= kFillRunning && code <= kFillRunning + kNozzles) {
        return "running" + on;
    }
    if (code >= kWaiting && code <= kWaiting + kNozzles) {
        return NozzleOf(code) == 0
                   ? std::string("waiting for a start")
                   : "nozzle " + std::to_string(NozzleOf(code)) + " lifted, waiting for a start";
    }
    return "code " + std::to_string(code);
}

std::string StatusShort(std::uint8_t code) {
    using namespace status_code;
    const std::string nozzle = NozzleOf(code) == 0 ? "" : " " + std::to_string(NozzleOf(code));
    if (code == 0) {
        return "-";
    }
    if (code == kNoActivity) {
        return "none";
    }
    if (code == kIdle) {
        return "idle";
    }
    if (code >= kFillEnded && code <= kFillEnded + kNozzles) {
        return "end" + nozzle;
    }
    if (code >= kFillRunning && code <= kFillRunning + kNozzles) {
        return "run" + nozzle;
    }
    if (code >= kWaiting && code <= kWaiting + kNozzles) {
        return "wait" + nozzle;
    }
    return "?" + std::to_string(code);
}

std::string ModeWords(std::uint8_t mode, std::uint8_t volumeDecimals, std::uint8_t moneyDecimals) {
    char text[96];
    if (mode == 0) {
        return "not read yet";
    }
    if (mode == kModeZero) {
        return "'0' (the driver keeps the nozzle status itself)";
    }
    if (mode >= 0x40 && mode <= 0x47) {
        std::snprintf(text, sizeof text, "0x%02X (%u volume and %u money decimals)", mode,
                      volumeDecimals, moneyDecimals);
        return text;
    }
    if (mode >= 0x21 && mode <= 0x7E) {
        std::snprintf(text, sizeof text, "'%c'", mode);
        return text;
    }
    std::snprintf(text, sizeof text, "0x%02X", mode);
    return text;
}

std::string Fixed(const Quantity& quantity) {
    return Fixed(quantity.value, quantity.decimals);
}

double AsShown(const Quantity& quantity) {
    const std::string text = Fixed(quantity);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

}  // namespace fuel::cli
