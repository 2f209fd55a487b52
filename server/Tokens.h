// The forecourt's token store: bearer tokens of named clients (a till, the back office),
// each with one of the station's roles, made and kept as the HTTP stack's token store says
// (http/TokenStore.h: shown once, kept as their SHA-256). They live in the forecourt's
// database, in a table the server adds by its own migration, and every change goes through
// the journal's one writer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "forecourt/Journal.h"
#include "http/TokenStore.h"
#include "server/Roles.h"

namespace fuel::server {

using http::TokenError;

// The server's tables, as the forecourt's Options::migrations takes them.
std::vector<forecourt::Migration> ServerMigrations();

struct TokenEntry {
    std::string name;
    Role role = Role::Viewer;
    std::string createdAt;  // RFC 3339
};

class Tokens : public http::TokenStore {
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
    // Whose token this is (the role by its name); nullopt for an unknown or revoked one, or
    // one whose role this program does not know. Throws DatabaseError when the journal
    // cannot be read.
    std::optional<http::Principal> Authenticate(std::string_view token) const override;

  private:
    forecourt::Journal& journal_;
};

}  // namespace fuel::server
