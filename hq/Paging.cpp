#include "hq/Paging.h"

#include "http/Message.h"

namespace fuel::hq {
namespace {

std::string Escaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

}  // namespace

std::size_t LimitOf(const http::Call& call) {
    return call.parameters.contains("limit")
               ? static_cast<std::size_t>(call.parameters.at("limit").get<std::int64_t>())
               : 100;
}

std::string NextLink(const http::Call& call, const std::string& cursor) {
    const auto target = http::ParseTarget(call.request.target);
    std::string link = target ? target->path : "";
    char separator = '?';
    if (target) {
        for (const auto& [name, value] : target->query) {
            if (name == "cursor")
                continue;
            link += separator + Escaped(name) + "=" + Escaped(value);
            separator = '&';
        }
    }
    return link + separator + "cursor=" + Escaped(cursor);
}

std::string EncodeCursor(const nlohmann::json& key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : key.dump()) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::optional<nlohmann::json> DecodeCursor(const std::string& cursor) {
    if (cursor.size() % 2 != 0)
        return std::nullopt;
    std::string text;
    for (std::size_t i = 0; i < cursor.size(); i += 2) {
        int value = 0;
        for (const char c : {cursor[i], cursor[i + 1]}) {
            value *= 16;
            if (c >= '0' && c <= '9')
                value += c - '0';
            else if (c >= 'a' && c <= 'f')
                value += c - 'a' + 10;
            else
                return std::nullopt;
        }
        text += static_cast<char>(value);
    }
    nlohmann::json key = nlohmann::json::parse(text, nullptr, false);
    if (key.is_discarded())
        return std::nullopt;
    return key;
}

}  // namespace fuel::hq
