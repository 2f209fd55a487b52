// Bearer tokens: each belongs to a named client (a till, the back office) with one role. A
// token is shown once, when it is made; the journal keeps only its SHA-256, so that a copy
// of the database lets no one in. Tokens live in the forecourt's database, in a table the
// server adds by its own migration, and every change goes through the journal's one writer.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "forecourt/Journal.h"
#include "server/Roles.h"

namespace fuel::server {

class TokenError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The server's tables, as the forecourt's Options::migrations takes them.
std::vector<forecourt::Migration> ServerMigrations();

struct Client {
    std::string name;
    Role role = Role::Viewer;
};

struct TokenEntry {
    std::string name;
    Role role = Role::Viewer;
    std::string createdAt;  // RFC 3339
};

class Tokens {
  public:
    explicit Tokens(forecourt::Journal& journal) : journal_(journal) {}

    // A new token for a new client; returns the token (the only time it is seen). Throws
    // TokenError when the name is taken by a live token or is not a name: 1..64 of letters,
    // digits, '.', '_' and '-'.
    std::string Add(const std::string& name, Role role);
    // The live tokens, by name.
    std::vector<TokenEntry> List() const;
    // Throws TokenError when no live token has that name.
    void Revoke(const std::string& name);
    // Whose token this is; nullopt for an unknown or revoked one.
    std::optional<Client> Authenticate(std::string_view token) const;

  private:
    forecourt::Journal& journal_;
};

// The text the table keeps for a token: its SHA-256 in lower-case hex.
std::string HashToken(std::string_view token);

}  // namespace fuel::server
