// The head office's tables, made and changed by forward-only migrations: a list of numbered
// steps, each applied once in a transaction of its own and recorded in schema_migrations.
// Workers that start together take turns under an advisory lock; a database that a newer
// fuel-hq has already moved on is refused, never changed back or guessed at.
#pragma once

#include <span>
#include <stdexcept>
#include <string_view>

#include "hq/Database.h"

namespace fuel::hq {

struct Migration {
    int version;               // 1, 2, ...: each one more than the last
    std::string_view summary;  // a line for schema_migrations, for people
    std::string_view sql;      // statements of the program's own, no values from outside
};

// The database holds a version this program does not know.
class SchemaTooNew : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Every migration, in order: the one list that says what the schema is.
std::span<const Migration> Migrations();
int LatestVersion();

// Applies what the database lacks of `migrations` (by default the program's own), and
// returns the version it stands at afterwards. Throws SchemaTooNew when the database is at a
// version beyond the list, DatabaseError when a step fails (that step is undone whole).
int Migrate(Connection& connection);
int Migrate(Connection& connection, std::span<const Migration> migrations);

// The version the database stands at: 0 before any migration.
int SchemaVersion(Connection& connection);

}  // namespace fuel::hq
