#include "hq/Database.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "StoreFixture.h"

namespace fuel::hq::test {
namespace {

using DatabaseTest = StoreTest;

// Values that a statement built from text would break on arrive as they were sent.
TEST_F(DatabaseTest, ParametersArriveUnchanged) {
    const struct {
        const char* cast;
        Parameter value;
        std::optional<std::string> back;
    } cases[] = {
        {"text", "it's a \"quote\"; DROP TABLE x; --", "it's a \"quote\"; DROP TABLE x; --"},
        {"text", "back\\slash and ünïcødé", "back\\slash and ünïcødé"},
        {"text", std::nullopt, std::nullopt},
        {"text", std::optional<std::string>(""), ""},
        {"bigint", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {"bigint", std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
        {"float8", 0.1, "0.1"},
        {"numeric", 52.35, "52.35"},
        {"boolean", true, "t"},
    };
    for (const auto& c : cases) {
        const Parameter parameters[] = {c.value};
        const Result result = Db().Exec("SELECT $1::" + std::string(c.cast), parameters);
        EXPECT_EQ(result.OptionalText(0, 0), c.back) << c.cast;
    }
}

// An array literal carries each element exactly: quotes, backslashes, braces, commas, the
// word NULL as text, an empty text and a real NULL.
TEST_F(DatabaseTest, ArrayLiteralRoundTrips) {
    const std::vector<std::optional<std::string>> elements = {"plain",
                                                              "with \"quotes\"",
                                                              "back\\slash",
                                                              "{braces},commas",
                                                              "NULL",
                                                              "",
                                                              std::nullopt,
                                                              " spaced ",
                                                              "{\"json\": [1, \"a\\\"b\"]}"};
    const Result result =
        Db().Exec("SELECT value FROM unnest($1::text[]) WITH ORDINALITY AS t(value, n) ORDER BY n",
                  {ArrayLiteral(elements)});
    ASSERT_EQ(result.Rows(), static_cast<int>(elements.size()));
    for (int row = 0; row < result.Rows(); ++row)
        EXPECT_EQ(result.OptionalText(row, 0), elements[static_cast<std::size_t>(row)]) << row;
    const std::vector<std::int64_t> numbers = {1, -2, std::numeric_limits<std::int64_t>::max()};
    EXPECT_EQ(
        Db().Exec("SELECT sum(n::numeric) FROM unnest($1::bigint[]) n", {ArrayLiteral(numbers)})
            .Text(0, 0),
        "9223372036854775806");
}

TEST_F(DatabaseTest, ErrorsCarryTheirState) {
    Db().Exec("CREATE TABLE once (key integer PRIMARY KEY)");
    Db().Exec("INSERT INTO once VALUES (1)");
    const struct {
        const char* sql;
        const char* state;
    } cases[] = {
        {"INSERT INTO once VALUES (1)", "23505"},
        {"SELEC 1", "42601"},
        {"SELECT 1/0", "22012"},
        {"SELECT * FROM missing", "42P01"},
    };
    for (const auto& c : cases) {
        try {
            Db().Exec(c.sql);
            ADD_FAILURE() << c.sql << " succeeded";
        } catch (const DatabaseError& error) {
            EXPECT_EQ(error.SqlState(), c.state) << c.sql << ": " << error.what();
            EXPECT_FALSE(error.ConnectionLost()) << c.sql;
        }
    }
    try {
        Db().Exec("INSERT INTO once VALUES (1)");
    } catch (const DatabaseError& error) {
        EXPECT_TRUE(error.UniqueViolation());
    }
}

TEST_F(DatabaseTest, TransactionRollsBackUnlessCommitted) {
    Db().Exec("CREATE TABLE kept (value text)");
    {
        Transaction transaction(Db());
        Db().Exec("INSERT INTO kept VALUES ('undone')");
    }
    {
        Transaction transaction(Db());
        Db().Exec("INSERT INTO kept VALUES ('done')");
        transaction.Commit();
    }
    const Result rows = Db().Exec("SELECT value FROM kept");
    ASSERT_EQ(rows.Rows(), 1);
    EXPECT_EQ(rows.Text(0, 0), "done");
    EXPECT_TRUE(Db().Idle());
}

// A statement that failed inside a transaction, its error caught, makes COMMIT a ROLLBACK:
// that is a failure, never reported as success.
TEST_F(DatabaseTest, CommitAfterAFailedStatementThrows) {
    Db().Exec("CREATE TABLE kept (value integer PRIMARY KEY)");
    Transaction transaction(Db());
    Db().Exec("INSERT INTO kept VALUES (1)");
    EXPECT_THROW(Db().Exec("INSERT INTO kept VALUES (1)"), DatabaseError);
    EXPECT_THROW(transaction.Commit(), DatabaseError);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM kept").Integer(0, 0), 0);
}

// A connection that the server ends says so, and a reconnect brings it back.
TEST_F(DatabaseTest, LostConnectionIsToldApartAndReconnects) {
    const std::int64_t backend = Db().Exec("SELECT pg_backend_pid()").Integer(0, 0);
    Connection other(Url());
    other.Exec("SELECT pg_terminate_backend($1::int)", {backend});
    try {
        Db().Exec("SELECT 1");
        FAIL() << "a terminated connection answered";
    } catch (const DatabaseError& error) {
        EXPECT_TRUE(error.ConnectionLost()) << error.SqlState() << " " << error.what();
    }
    Db().Reconnect();
    EXPECT_EQ(Db().Exec("SELECT 41 + 1").Integer(0, 0), 42);
}

TEST_F(DatabaseTest, ResultTellsNullsAndMissingColumns) {
    const Result result = Db().Exec("SELECT NULL::bigint AS nothing, 7 AS seven");
    EXPECT_TRUE(result.IsNull(0, result.Column("nothing")));
    EXPECT_EQ(result.OptionalInteger(0, 0), std::nullopt);
    EXPECT_THROW(result.Integer(0, 0), std::runtime_error);
    EXPECT_EQ(result.Integer(0, result.Column("seven")), 7);
    EXPECT_THROW(result.Column("absent"), std::out_of_range);
    EXPECT_THROW(result.Text(1, 0), std::out_of_range);
}

}  // namespace
}  // namespace fuel::hq::test
