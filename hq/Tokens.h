// The head office's token store: bearer tokens of named clients, each with one of the head
// office's roles (Roles.h), made and kept as the HTTP stack says (http/TokenStore.h: shown
// once, kept as their SHA-256), in PostgreSQL's tokens table, so that every worker knows
// every token and a revocation reaches all of them at their next request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hq/ConnectionPool.h"
#include "http/TokenStore.h"

namespace fuel::hq {

using http::TokenError;

struct TokenEntry {
    std::string name;
    std::string role;
    std::string createdAt;  // RFC 3339
};

class Tokens : public http::TokenStore {
  public:
    explicit Tokens(ConnectionPool& pool) : pool_(pool) {}

    // A new token for a new client; returns the token (the only time it is seen). Throws
    // TokenError when the name is taken by a live token or is not a name, or the role is
    // none of Roles().
    std::string Add(const std::string& name, const std::string& role);
    // The live tokens, by name.
    std::vector<TokenEntry> List() const;
    // Throws TokenError when no live token has that name.
    void Revoke(const std::string& name);
    // Whose token this is; nullopt for an unknown or revoked one, or one whose role this
    // program does not know. Throws DatabaseError when the database cannot be read.
    std::optional<http::Principal> Authenticate(std::string_view token) const override;

  private:
    ConnectionPool& pool_;
};

}  // namespace fuel::hq
