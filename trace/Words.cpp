#include "trace/Words.h"

#include <cstdio>
#include <sstream>

#include "driver/HostLink.h"
#include "link/Line.h"

namespace fuel::trace {

std::string Hex(std::uint8_t byte) {
    return Hex(std::span(&byte, 1));
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    char hex[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", byte);
        text += hex;
    }
    return text;
}

std::string ReplyCodeWords(std::int32_t code) {
    switch (code) {
        case reply_code::kAccepted:
            return "accepted";
        case reply_code::kBadStart:
        case reply_code::kOnlyAcknowledge:
        case reply_code::kNoEnd:
        case reply_code::kBadChecksum:
            return "rejected " + std::to_string(code) + ": " + std::string(DescribeLineCode(code));
        default:
            return "rejected " + std::to_string(code);
    }
}

std::string Fixed(double value, int decimals) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
}

}  // namespace fuel::trace
