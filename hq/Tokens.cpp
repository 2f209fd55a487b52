#include "hq/Tokens.h"

#include "hq/Roles.h"
#include "hq/Time.h"

namespace fuel::hq {

std::string Tokens::Add(const std::string& name, const std::string& role) {
    if (!http::IsPrincipalName(name)) {
        throw TokenError("'" + name +
                         "' is not a client name: 1 to 64 letters, digits, '.', '_' or '-'");
    }
    if (!IsRole(role))
        throw TokenError("'" + role + "' is not a role: " + RoleNames());
    const std::string token = http::NewToken();
    const std::string hash = http::HashToken(token);
    const bool added = pool_.With([&](Connection& db) {
        // The name is unique among the live tokens: two commands at once take turns on it.
        Transaction transaction(db);
        db.Exec("SELECT pg_advisory_xact_lock(hashtext('fuel-hq token ' || $1))", {name});
        const Result live =
            db.Exec("SELECT 1 FROM tokens WHERE name = $1 AND revoked_at IS NULL", {name});
        if (live.Rows() > 0)
            return false;
        db.Exec("INSERT INTO tokens (hash, role, name) VALUES ($1, $2, $3)", {hash, role, name});
        transaction.Commit();
        return true;
    });
    if (!added)
        throw TokenError("a client named '" + name + "' already has a token; revoke it first");
    return token;
}

std::vector<TokenEntry> Tokens::List() const {
    return pool_.With([](Connection& db) {
        const Result rows = db.Exec("SELECT name, role, " + TimeColumn("created_at") +
                                    " FROM tokens WHERE revoked_at IS NULL ORDER BY name");
        std::vector<TokenEntry> entries;
        for (int row = 0; row < rows.Rows(); ++row) {
            entries.push_back({std::string(rows.Text(row, 0)), std::string(rows.Text(row, 1)),
                               TimeText(rows, row, 2)});
        }
        return entries;
    });
}

void Tokens::Revoke(const std::string& name) {
    const std::int64_t changed = pool_.With([&](Connection& db) {
        return db
            .Exec("UPDATE tokens SET revoked_at = now() WHERE name = $1 AND revoked_at IS NULL",
                  {name})
            .Affected();
    });
    if (changed == 0)
        throw TokenError("no client named '" + name + "' has a token");
}

std::optional<http::Principal> Tokens::Authenticate(std::string_view token) const {
    if (token.empty() || token.size() > http::kMaxTokenLength)
        return std::nullopt;
    const std::string hash = http::HashToken(token);
    return pool_.With([&](Connection& db) -> std::optional<http::Principal> {
        const Result row =
            db.Exec("SELECT name, role FROM tokens WHERE hash = $1 AND revoked_at IS NULL", {hash});
        if (row.Rows() == 0)
            return std::nullopt;
        const std::string role(row.Text(0, 1));
        // A role this program does not know (a newer program's) grants nothing.
        if (!IsRole(role))
            return std::nullopt;
        return http::Principal{std::string(row.Text(0, 0)), role};
    });
}

}  // namespace fuel::hq
