#include "server/Tokens.h"

#include <chrono>

#include "forecourt/Database.h"
#include "forecourt/Model.h"

namespace fuel::server {
namespace {

std::string Now() {
    return forecourt::FormatTime(std::chrono::system_clock::now());
}

}  // namespace

std::vector<forecourt::Migration> ServerMigrations() {
    return {{"server", 1, [](forecourt::Connection& db) {
                 // A revoked token stays, with when it was revoked, so that the name's history
                 // can be told; a name is unique among the live tokens only.
                 db.Execute(
                     "CREATE TABLE tokens ("
                     " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                     " name TEXT NOT NULL,"
                     " role TEXT NOT NULL,"
                     " hash TEXT NOT NULL UNIQUE,"
                     " created_at TEXT NOT NULL,"
                     " revoked_at TEXT);"
                     "CREATE UNIQUE INDEX tokens_live_name ON tokens(name) "
                     " WHERE revoked_at IS NULL;");
             }}};
}

std::string Tokens::Add(const std::string& name, Role role) {
    if (!http::IsPrincipalName(name)) {
        throw TokenError("'" + name +
                         "' is not a client name: 1 to 64 letters, digits, '.', '_' or '-'");
    }
    const std::string token = http::NewToken();
    const std::string hash = http::HashToken(token);
    const bool added = journal_
                           .Write([&](forecourt::WriteTransaction& t) {
                               auto& live = t.Db().Prepare(
                                   "SELECT 1 FROM tokens WHERE name = ?1 AND revoked_at IS NULL");
                               live.Bind(1, name);
                               const bool taken = live.Step();
                               live.Reset();
                               if (taken)
                                   return false;
                               t.Db()
                                   .Prepare(
                                       "INSERT INTO tokens(name, role, hash, created_at) "
                                       "VALUES (?1, ?2, ?3, ?4)")
                                   .Bind(1, name)
                                   .Bind(2, Name(role))
                                   .Bind(3, hash)
                                   .Bind(4, Now())
                                   .Run();
                               return true;
                           })
                           .get();
    if (!added) {
        throw TokenError("a client named '" + name + "' already has a token; revoke it first");
    }
    return token;
}

std::vector<TokenEntry> Tokens::List() const {
    return journal_.Read([](forecourt::Connection& db) {
        std::vector<TokenEntry> entries;
        auto& select = db.Prepare(
            "SELECT name, role, created_at FROM tokens WHERE revoked_at IS NULL ORDER BY name");
        while (select.Step()) {
            entries.push_back({select.Text(0), RoleFromName(select.Text(1)).value_or(Role::Viewer),
                               select.Text(2)});
        }
        return entries;
    });
}

void Tokens::Revoke(const std::string& name) {
    const int changed = journal_
                            .Write([&](forecourt::WriteTransaction& t) {
                                t.Db()
                                    .Prepare(
                                        "UPDATE tokens SET revoked_at = ?2 "
                                        "WHERE name = ?1 AND revoked_at IS NULL")
                                    .Bind(1, name)
                                    .Bind(2, Now())
                                    .Run();
                                return t.Db().Changes();
                            })
                            .get();
    if (changed == 0)
        throw TokenError("no client named '" + name + "' has a token");
}

std::optional<http::Principal> Tokens::Authenticate(std::string_view token) const {
    if (token.empty() || token.size() > http::kMaxTokenLength)
        return std::nullopt;
    const std::string hash = http::HashToken(token);
    return journal_.Read([&](forecourt::Connection& db) -> std::optional<http::Principal> {
        auto& select =
            db.Prepare("SELECT name, role FROM tokens WHERE hash = ?1 AND revoked_at IS NULL");
        select.Bind(1, hash);
        if (!select.Step())
            return std::nullopt;
        const std::string name = select.Text(0);
        const auto role = RoleFromName(select.Text(1));
        // Finished, so that the pooled connection does not hold its snapshot of the file.
        select.Reset();
        // A role this program does not know (a newer program's) grants nothing.
        if (!role)
            return std::nullopt;
        return http::Principal{name, std::string(Name(*role))};
    });
}

}  // namespace fuel::server
