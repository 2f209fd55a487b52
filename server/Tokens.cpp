#include "server/Tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <chrono>

#include "forecourt/Database.h"
#include "forecourt/Model.h"

namespace fuel::server {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMaxNameLength = 64;
// A token is 43 characters; anything much longer is not one of ours and is not worth hashing.
constexpr std::size_t kMaxTokenLength = 256;

bool IsName(const std::string& name) {
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

// base64url without padding (RFC 4648 section 5): safe in a header, a URL and a shell.
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

std::string NewToken() {
    std::array<unsigned char, kTokenBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw TokenError("the system's random source failed; no token was made");
    }
    return Base64Url(bytes.data(), bytes.size());
}

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

std::string Tokens::Add(const std::string& name, Role role) {
    if (!IsName(name)) {
        throw TokenError("'" + name +
                         "' is not a client name: 1 to 64 letters, digits, '.', '_' or '-'");
    }
    const std::string token = NewToken();
    const std::string hash = HashToken(token);
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

std::optional<Client> Tokens::Authenticate(std::string_view token) const {
    if (token.empty() || token.size() > kMaxTokenLength)
        return std::nullopt;
    const std::string hash = HashToken(token);
    return journal_.Read([&](forecourt::Connection& db) -> std::optional<Client> {
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
        return Client{name, *role};
    });
}

}  // namespace fuel::server
