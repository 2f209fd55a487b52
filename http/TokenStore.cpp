#include "http/TokenStore.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>

namespace fuel::http {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMaxNameLength = 64;

std::string Base64Url(const unsigned char* bytes, std::size_t count) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bits = (bits << 8) | bytes[i];
        held += 8;
        while (held >= 6) {
            held -= 6;
            text.push_back(kAlphabet[(bits >> held) & 0x3F]);
        }
    }
    if (held > 0)
        text.push_back(kAlphabet[(bits << (6 - held)) & 0x3F]);
    return text;
}

}  // namespace

std::string NewToken() {
    std::array<unsigned char, kTokenBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw TokenError("the system's random source failed; no token was made");
    }
    return Base64Url(bytes.data(), bytes.size());
}

std::string HashToken(std::string_view token) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(token.data(), token.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
        1) {
        throw TokenError("SHA-256 is not available");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0F]);
    }
    return hex;
}

bool IsPrincipalName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace fuel::http
