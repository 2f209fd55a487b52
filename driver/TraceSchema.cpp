#include "driver/TraceSchema.h"

#include <string>
#include <type_traits>

namespace fuel {
namespace {

constexpr std::string_view kLink = "link";

template <typename T>
std::string List(const EachNozzle<T>& values) {
    std::string text;
    for (const T& value : values) {
        if (!text.empty()) {
            text += ',';
        }
        if constexpr (std::is_floating_point_v<T>) {
            text += RealText(value);
        } else {
            text += std::to_string(value);
        }
    }
    return text;
}

// A list of up to six numbers for nozzles 1.. into `values`, each read by `read`; the
// nozzles past its end keep theirs.
template <typename T, typename Read>
void ReadList(const TraceEvent& line, std::string_view key, EachNozzle<T>& values,
              const Read& read) {
    const std::string& list = line.Text(key);
    std::size_t at = 0;
    for (int nozzle = 1;; ++nozzle) {
        const std::size_t comma = list.find(',', at);
        const auto value = read(std::string_view(list).substr(at, comma - at));
        if (!value) {
            throw TraceFormatError("field '" + std::string(key) + "' should not hold '" + list +
                                   "'");
        }
        if (nozzle <= kNozzles) {
            values[nozzle] = static_cast<T>(*value);
        }
        if (comma == std::string::npos) {
            return;
        }
        at = comma + 1;
    }
}

std::uint8_t Byte(const TraceEvent& line, std::string_view key) {
    return static_cast<std::uint8_t>(line.Integer(key, 0, 255));
}

std::int32_t Signed(const TraceEvent& line, std::string_view key) {
    return static_cast<std::int32_t>(line.Integer(key, INT32_MIN, INT32_MAX));
}

}  // namespace

TraceEvent OptionsLine(TraceStamp time, const TracedOptions& options) {
    TraceEvent line(time, "options");
    line.With("flags", options.flags)
        .With("OrigAdres", options.options.OrigAdres)
        .With("StartInLiter", options.options.StartInLiter)
        .With("WStart", options.options.WStart)
        .With("WDoza", options.options.WDoza);
    return line;
}

TracedOptions ReadOptionsLine(const TraceEvent& line) {
    const auto flag = [&](std::string_view key) { return line.Integer(key, 0, 1) != 0; };
    TracedOptions options;
    options.flags = static_cast<std::uint32_t>(line.Integer("flags", 0, 0xFFFFFFFF));
    options.options = {flag("OrigAdres"), flag("StartInLiter"), flag("WStart"), flag("WDoza")};
    return options;
}

TraceEvent LinkStateLine(TraceStamp time, std::int64_t channel, std::uint8_t linkState) {
    TraceEvent line(time, "state");
    line.With(trace_key::kChannel, channel).With(kLink, linkState);
    return line;
}

TraceEvent DispenserStateLine(TraceStamp time, std::int64_t channel, std::int64_t dispenser,
                              const DispenserState& state) {
    TraceEvent line(time, "state");
    line.With(trace_key::kChannel, channel)
        .With(trace_key::kDispenser, dispenser)
        .With("mode", state.DispenserMode)
        .With("vdec", state.VolumeDecimals)
        .With("mdec", state.MoneyDecimals)
        .With("countdown", state.ModeRecheckCountdown)
        .With("stable", state.ModeStableCount)
        .With("nozzle", state.CurrentNozzle)
        .With("vlimit", state.VolumeLimit)
        .With("mlimit", state.MoneyLimit)
        .With("status", List(state.NozzleStatus))
        .With("price", List(state.NozzlePrice))
        .With("volume", List(state.NozzleVolume));
    return line;
}

std::vector<TraceEvent> StateLines(TraceStamp time, const DriverTables& tables) {
    std::vector<TraceEvent> lines;
    const DispenserState fresh;
    for (int channel = 1; channel <= kChannels; ++channel) {
        if (tables.LinkState[channel] != link_state::kGood) {
            lines.push_back(LinkStateLine(time, channel, tables.LinkState[channel]));
        }
        for (int dispenser = 1; dispenser <= kDispensers; ++dispenser) {
            const DispenserState state = tables.Dispenser(channel, dispenser);
            if (state != fresh) {
                lines.push_back(DispenserStateLine(time, channel, dispenser, state));
            }
        }
    }
    return lines;
}

void RestoreStateLine(TVM30& driver, const TraceEvent& line) {
    const std::int64_t channel = line.Integer(trace_key::kChannel, 1, kChannels);
    const bool hasDispenser = line.Has(trace_key::kDispenser);
    // Everything is read before anything is changed: a line that does not read changes
    // nothing.
    std::optional<std::uint8_t> link;
    if (line.Has(kLink)) {
        link = Byte(line, kLink);
    }
    std::int64_t dispenser = 0;
    DispenserState state;
    if (hasDispenser) {
        dispenser = line.Integer(trace_key::kDispenser, 1, kDispensers);
        state = driver.Tables().Dispenser(channel, dispenser);
        state.DispenserMode = Byte(line, "mode");
        state.VolumeDecimals = Byte(line, "vdec");
        state.MoneyDecimals = Byte(line, "mdec");
        state.ModeRecheckCountdown = Signed(line, "countdown");
        state.ModeStableCount = Signed(line, "stable");
        state.CurrentNozzle = Byte(line, "nozzle");
        state.VolumeLimit = line.Real("vlimit");
        state.MoneyLimit = line.Real("mlimit");
        ReadList(line, "status", state.NozzleStatus, [](std::string_view text) {
            const auto value = ParseWhole(text);
            return value && *value >= 0 && *value <= 0xFFFF ? value : std::nullopt;
        });
        ReadList(line, "price", state.NozzlePrice, ParseReal);
        ReadList(line, "volume", state.NozzleVolume, ParseReal);
    }
    if (link) {
        driver.RestoreLinkState(channel, *link);
    }
    if (hasDispenser) {
        driver.RestoreDispenser(channel, dispenser, state);
    }
}

}  // namespace fuel
