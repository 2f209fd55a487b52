#include "testing/PostgresServer.h"

#include <gtest/gtest.h>

#include "hq/Database.h"

namespace fuel::hq::test {
namespace {

// The private server itself: a crash and a restart keep what was committed, on the same port,
// and a client's connection across either is told lost and comes back with a reconnect.
TEST(PostgresServerTest, KeepsCommittedDataAcrossStopAndKill) {
    std::unique_ptr<fuel::test::PostgresServer> server;
    try {
        server = std::make_unique<fuel::test::PostgresServer>();
    } catch (const fuel::test::PostgresMissing& missing) {
        GTEST_SKIP() << missing.what();
    }
    Connection db(server->ConnectionString());
    db.Exec("CREATE TABLE kept (value integer)");
    const int port = server->Port();
    int value = 0;
    for (const bool crash : {false, true}) {
        db.Exec("INSERT INTO kept VALUES ($1)", {++value});
        if (crash)
            server->Kill();
        else
            server->Stop();
        EXPECT_FALSE(server->Running());
        try {
            db.Exec("SELECT 1");
            ADD_FAILURE() << "a stopped server answered"
                          << (crash ? " after a crash" : " after a stop");
        } catch (const DatabaseError& error) {
            EXPECT_TRUE(error.ConnectionLost()) << error.SqlState() << ": " << error.what();
        }
        server->Start();
        EXPECT_EQ(server->Port(), port);
        db.Reconnect();
        EXPECT_EQ(db.Exec("SELECT count(*) FROM kept").Integer(0, 0), value)
            << (crash ? "after a crash" : "after a stop");
    }
}

}  // namespace
}  // namespace fuel::hq::test
