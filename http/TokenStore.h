// Bearer tokens: each stands for a principal (a named client with one role). The pipeline
// asks the daemon's store whose a token is; where the store keeps them is the daemon's (the
// forecourt in its journal, the head office in PostgreSQL). Whatever the store, a token is
// made here, shown once, and kept only as its SHA-256, so that a copy of the store lets no one
// in.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "http/Access.h"

namespace fuel::http {

class TokenError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TokenStore {
  public:
    virtual ~TokenStore() = default;
    // Whose token this is; nullopt for an unknown or revoked one, or one whose role this
    // program does not know. May throw when the store cannot be read: the pipeline's error
    // mapping answers that.
    virtual std::optional<Principal> Authenticate(std::string_view token) const = 0;
};

// A new token: 32 random bytes as base64url without padding (43 characters), safe in a
// header, a URL and a shell. Throws TokenError when the system's random source fails.
std::string NewToken();
// The text a store keeps for a token: its SHA-256 in lower-case hex.
std::string HashToken(std::string_view token);
// Longer than any token NewToken makes by far: not worth hashing, never one of ours.
inline constexpr std::size_t kMaxTokenLength = 256;

// A principal's name: 1..64 of letters, digits, '.', '_' and '-'.
bool IsPrincipalName(std::string_view name);

}  // namespace fuel::http
