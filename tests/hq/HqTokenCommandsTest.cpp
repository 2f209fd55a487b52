// `fuel-hq token add|list|revoke` on a new database: a token made works at once, is listed
// without itself, and is refused once revoked; a name twice and a name that is none refused.
#include "hq/TokenCommands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "hq/ConnectionPool.h"
#include "hq/Tokens.h"
#include "tests/hq/StoreFixture.h"

namespace fuel::hq::test {
namespace {

class HqTokenCommandsTest : public StoreTest {
  protected:
    // The command line's words with the test's database; the exit status, or -1 for a
    // TokenError (the program's 1 with its message).
    int Run(std::vector<std::string> words) {
        words.push_back("--database");
        words.push_back(Url());
        out_.str("");
        err_.str("");
        try {
            return RunTokenCommand(ParseCommandLine(words), out_, err_);
        } catch (const TokenError& e) {
            err_ << e.what();
            return -1;
        }
    }
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(HqTokenCommandsTest, AddListRevoke) {
    // On a database with no schema yet: the command makes it.
    ASSERT_EQ(Run({"token", "add", "wall-screen", "--role", "hq-viewer"}), 0) << err_.str();
    const std::string token = out_.str().substr(0, out_.str().find('\n'));
    EXPECT_EQ(token.size(), 43u);
    EXPECT_NE(err_.str().find("not shown again"), std::string::npos);

    ConnectionPool pool(Url(), 1);
    Tokens tokens(pool);
    const auto principal = tokens.Authenticate(token);
    ASSERT_TRUE(principal.has_value());
    EXPECT_EQ(principal->name, "wall-screen");
    EXPECT_EQ(principal->role, "hq-viewer");
    // Only the hash is kept.
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM tokens WHERE hash = $1", {token}).Integer(0, 0), 0);

    ASSERT_EQ(Run({"token", "add", "pricing-desk", "--role", "hq-pricing"}), 0);
    ASSERT_EQ(Run({"token", "list"}), 0);
    const std::string list = out_.str();
    EXPECT_EQ(list.find("pricing-desk"), 0u) << list;  // by name
    EXPECT_NE(list.find("wall-screen              hq-viewer"), std::string::npos) << list;
    EXPECT_EQ(list.find(token), std::string::npos);

    struct Refused {
        std::vector<std::string> words;
        const char* message;
    };
    const Refused refusals[] = {
        {{"token", "add", "wall-screen", "--role", "hq-admin"}, "already has a token"},
        {{"token", "add", "two words", "--role", "hq-admin"}, "is not a client name"},
        {{"token", "revoke", "nobody"}, "no client named 'nobody'"},
    };
    for (const Refused& refusal : refusals) {
        EXPECT_EQ(Run(refusal.words), -1) << refusal.message;
        EXPECT_NE(err_.str().find(refusal.message), std::string::npos) << err_.str();
    }

    ASSERT_EQ(Run({"token", "revoke", "wall-screen"}), 0);
    EXPECT_FALSE(tokens.Authenticate(token).has_value());
    ASSERT_EQ(Run({"token", "list"}), 0);
    EXPECT_EQ(out_.str().find("wall-screen"), std::string::npos);
    // The name is free again.
    EXPECT_EQ(Run({"token", "add", "wall-screen", "--role", "hq-admin"}), 0);
}

}  // namespace
}  // namespace fuel::hq::test
