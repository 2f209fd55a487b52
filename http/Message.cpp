#include "http/Message.h"

#include <algorithm>
#include <array>

namespace fuel::http {
namespace {

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        constexpr std::array<std::uint32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::optional<std::string> Decode(std::string_view text, bool plusIsSpace) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            decoded.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else if (plusIsSpace && text[i] == '+') {
            decoded.push_back(' ');
        } else {
            decoded.push_back(text[i]);
        }
    }
    if (decoded.find('\0') != std::string::npos || !IsUtf8(decoded))
        return std::nullopt;
    return decoded;
}

}  // namespace

std::optional<std::string_view> Request::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (SameLetters(key, name))
            return std::string_view(value);
    }
    return std::nullopt;
}

std::size_t Request::HeaderCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(),
                      [&](const auto& field) { return SameLetters(field.first, name); }));
}

namespace {

// Whether a comma-separated header value holds the token (any case).
bool HasToken(std::optional<std::string_view> value, std::string_view token) {
    if (!value)
        return false;
    std::string_view rest = *value;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (SameLetters(item, token))
            return true;
    }
    return false;
}

}  // namespace

bool Request::IsWebSocketHandshake() const {
    return method == "GET" && HasToken(Header("Connection"), "upgrade") &&
           HasToken(Header("Upgrade"), "websocket");
}

void Response::SetHeader(std::string name, std::string value) {
    for (auto& [key, existing] : headers) {
        if (SameLetters(key, name)) {
            existing = std::move(value);
            return;
        }
    }
    headers.emplace_back(std::move(name), std::move(value));
}

Response JsonResponse(int status, const nlohmann::json& body) {
    Response response;
    response.status = status;
    // A byte that is not UTF-8 in some text (it cannot come from a request, which is checked,
    // but a controller's or a file's text might) becomes U+FFFD rather than a failed answer.
    response.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

Response ErrorResponse(int status, std::string_view code, std::string_view message,
                       const nlohmann::json& data) {
    nlohmann::json error = {{"code", code}, {"message", message}};
    if (!data.is_null())
        error["data"] = data;
    return JsonResponse(status, {{"error", std::move(error)}});
}

std::optional<Target> ParseTarget(std::string_view text) {
    if (text.empty() || text[0] != '/')
        return std::nullopt;
    Target target;
    const std::size_t question = text.find('?');
    const std::string_view path = text.substr(0, question);
    target.path = std::string(path);
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        auto segment = Decode(path.substr(start, end - start), false);
        if (!segment)
            return std::nullopt;
        target.segments.push_back(std::move(*segment));
        start = end + 1;
    }
    if (question != std::string_view::npos) {
        std::string_view query = text.substr(question + 1);
        while (!query.empty()) {
            const std::size_t amp = query.find('&');
            const std::string_view pair = query.substr(0, amp);
            query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
            if (pair.empty())
                continue;
            const std::size_t equals = pair.find('=');
            auto name = Decode(pair.substr(0, equals), true);
            auto value = Decode(
                equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1),
                true);
            if (!name || !value)
                return std::nullopt;
            target.query.emplace_back(std::move(*name), std::move(*value));
        }
    }
    return target;
}

std::optional<std::string> QueryValue(const Target& target, std::string_view name) {
    for (const auto& [key, value] : target.query) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

}  // namespace fuel::http
