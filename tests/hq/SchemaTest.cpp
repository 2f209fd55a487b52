#include "hq/Schema.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "StoreFixture.h"

namespace fuel::hq::test {
namespace {

using SchemaTest = StoreTest;

TEST_F(SchemaTest, MigratesFromEmptyOnceAndAgainChangesNothing) {
    EXPECT_EQ(SchemaVersion(Db()), 0);
    EXPECT_EQ(Migrate(Db()), LatestVersion());
    EXPECT_EQ(Migrate(Db()), LatestVersion());
    EXPECT_EQ(SchemaVersion(Db()), LatestVersion());
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM schema_migrations").Integer(0, 0),
              static_cast<std::int64_t>(Migrations().size()));
    // The events spread by station over partitions.
    EXPECT_EQ(Db().Exec("SELECT partstrat FROM pg_partitioned_table "
                        "WHERE partrelid = 'events'::regclass")
                  .Text(0, 0),
              "h");
    for (const char* table :
         {"stations", "events", "sales", "fuel_points", "prices", "alarms", "tokens", "changes"}) {
        EXPECT_TRUE(Db().Exec("SELECT to_regclass($1) IS NOT NULL", {table}).Boolean(0, 0))
            << table;
    }
}

TEST_F(SchemaTest, MigrationsAreNumberedInOrder) {
    int expected = 1;
    for (const Migration& migration : Migrations())
        EXPECT_EQ(migration.version, expected++);
}

TEST_F(SchemaTest, NewerDatabaseIsRefusedUntouched) {
    Migrate(Db());
    Db().Exec("INSERT INTO schema_migrations (version, summary) VALUES ($1, 'from the future')",
              {LatestVersion() + 1});
    EXPECT_THROW(Migrate(Db()), SchemaTooNew);
    EXPECT_EQ(SchemaVersion(Db()), LatestVersion() + 1);
    // The lock is let go even so: a second attempt is refused the same way, not hung.
    EXPECT_THROW(Migrate(Db()), SchemaTooNew);
}

// A step that fails leaves nothing of itself, and the version where it was.
TEST_F(SchemaTest, FailedStepIsUndoneWhole) {
    const Migration steps[] = {
        {1, "one", "CREATE TABLE first (a integer)"},
        {2, "two", "CREATE TABLE second (a integer); SELECT * FROM nowhere"},
    };
    EXPECT_THROW(Migrate(Db(), steps), DatabaseError);
    EXPECT_EQ(SchemaVersion(Db()), 1);
    EXPECT_FALSE(Db().Exec("SELECT to_regclass('second') IS NOT NULL").Boolean(0, 0));
    EXPECT_TRUE(Db().Exec("SELECT to_regclass('first') IS NOT NULL").Boolean(0, 0));
}

// Workers that start at once take turns: each step runs once, and none fails on another's
// half-made tables.
TEST_F(SchemaTest, WorkersStartingTogetherMigrateOnce) {
    constexpr int kWorkers = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.emplace_back([&] {
            try {
                Connection connection(Url());
                if (Migrate(connection) != LatestVersion())
                    ++failures;
            } catch (const std::exception&) {
                ++failures;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM schema_migrations").Integer(0, 0),
              static_cast<std::int64_t>(Migrations().size()));
}

// What the derived tables read from a station's event: a value of the right kind, or NULL,
// and never an error that would stop every event after it.
TEST_F(SchemaTest, ValuesFromEventsAreReadOrNull) {
    Migrate(Db());
    const struct {
        const char* function;
        const char* json;
        std::optional<std::string> value;
    } cases[] = {
        {"hq_time", R"("2026-05-01T10:00:00.123Z")", "2026-05-01 10:00:00.123+00"},
        {"hq_time", R"("2026-05-01T12:00:00+02:00")", "2026-05-01 10:00:00+00"},
        {"hq_time", R"("2024-02-29T00:00:00Z")", "2024-02-29 00:00:00+00"},
        {"hq_time", R"("2026-02-29T00:00:00Z")", std::nullopt},
        {"hq_time", R"("2100-02-29T00:00:00Z")", std::nullopt},
        {"hq_time", R"("2026-04-31T00:00:00Z")", std::nullopt},
        {"hq_time", R"("2026-05-01T24:00:00Z")", std::nullopt},
        {"hq_time", R"("0000-01-01T00:00:00Z")", std::nullopt},
        {"hq_time", R"("2026-05-01T10:00:00")", std::nullopt},
        {"hq_time", R"("2026-05-01 10:00:00Z")", std::nullopt},
        {"hq_time", R"("yesterday")", std::nullopt},
        {"hq_time", "1780000000", std::nullopt},
        {"hq_number", "52.35", "52.35"},
        {"hq_number", "1e2", "100"},
        {"hq_number", R"("52.35")", std::nullopt},
        {"hq_integer", "7", "7"},
        {"hq_integer", "7.5", std::nullopt},
        {"hq_integer", "99999999999", std::nullopt},
        {"hq_bigint", "99999999999", "99999999999"},
        {"hq_text", R"("a \"b\"")", "a \"b\""},
        {"hq_text", "null", std::nullopt},
        {"hq_text", "3", std::nullopt},
    };
    Db().Exec("SET TIME ZONE 'UTC'");
    for (const auto& c : cases) {
        const Result result = Db().Exec(
            "SELECT " + std::string(c.function) + "(value)::text FROM (SELECT $1::jsonb) t(value)",
            {c.json});
        EXPECT_EQ(result.OptionalText(0, 0), c.value) << c.function << " " << c.json;
    }
}

}  // namespace
}  // namespace fuel::hq::test
