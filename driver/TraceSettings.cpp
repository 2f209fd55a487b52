#include "driver/TraceSettings.h"

#include <algorithm>

#include "driver/Text1251.h"

namespace fuel {
namespace {

constexpr char kOptionsSection[] = "Varno";

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::uintmax_t TraceCapFromKilobytes(std::optional<std::int64_t> kilobytes) {
    if (!kilobytes) {
        return kDefaultTraceBytes;
    }
    const std::int64_t bytes = std::clamp<std::int64_t>(*kilobytes, kSmallestTraceBytes / 1024,
                                                        kLargestTraceBytes / 1024) *
                               1024;
    return static_cast<std::uintmax_t>(bytes);
}

std::optional<TraceFileSettings> ReadTraceSettings(const IniFile& ini,
                                                   const std::string& cnfIniPath) {
    const auto value = ini.ReadString(kOptionsSection, kTraceFileKey);
    if (!value || value->empty()) {
        return std::nullopt;
    }
    const std::string utf8 = IsUtf8(*value) ? *value : Cp1251ToUtf8(*value);
    TraceFileSettings settings;
    settings.path = PathOf(utf8);
    if (settings.path.is_relative()) {
        settings.path = std::filesystem::path(cnfIniPath).parent_path() / settings.path;
    }
    std::optional<std::int64_t> kilobytes;
    if (const auto cap = ini.ReadString(kOptionsSection, kTraceMaxKey)) {
        if (const auto number = ParseInteger(*cap)) {
            kilobytes = *number;
        }
    }
    settings.maxBytes = TraceCapFromKilobytes(kilobytes);
    return settings;
}

}  // namespace fuel
