#include "hq/TokenCommands.h"

#include "hq/Config.h"
#include "hq/ConnectionPool.h"
#include "hq/Schema.h"
#include "hq/Tokens.h"

namespace fuel::hq {
namespace {

// The token commands need the database only: --database alone will do, without a file.
std::string DatabaseOf(const HqSettings& settings) {
    if (!settings.database.empty())
        return settings.database;
    return LoadHqConfig(settings.config).database;
}

}  // namespace

int RunTokenCommand(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    const std::string database = DatabaseOf(invocation.settings);
    {
        Connection connection(database);
        Migrate(connection);
    }
    ConnectionPool pool(database, 1);
    Tokens tokens(pool);
    switch (invocation.command) {
        case Command::TokenAdd: {
            const std::string token = tokens.Add(invocation.tokenName, invocation.role);
            out << token << '\n';
            err << "the token of " << invocation.tokenName << " (" << invocation.role
                << "); it is not shown again and the database keeps only its hash\n";
            break;
        }
        case Command::TokenList:
            for (const TokenEntry& entry : tokens.List()) {
                std::string name = entry.name;
                if (name.size() < 24)
                    name.resize(24, ' ');
                std::string role = entry.role;
                role.resize(12, ' ');
                out << name << ' ' << role << ' ' << entry.createdAt << '\n';
            }
            break;
        case Command::TokenRevoke:
            tokens.Revoke(invocation.tokenName);
            err << "revoked the token of " << invocation.tokenName << '\n';
            break;
        default:
            break;
    }
    return 0;
}

}  // namespace fuel::hq
