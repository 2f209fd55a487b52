#include "server/Options.h"

#include <gtest/gtest.h>

namespace fuel::server {
namespace {

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

TEST(OptionsTest, RunsTheExampleStationOnTheLoopbackByDefault) {
    const Invocation invocation = ParseCommandLine({});
    EXPECT_EQ(invocation.command, Command::Run);
    EXPECT_TRUE(invocation.settings.config.empty());
    EXPECT_EQ(invocation.settings.host, "127.0.0.1");
    EXPECT_EQ(invocation.settings.port, 8470);
    EXPECT_FALSE(invocation.settings.Tls());
    EXPECT_EQ(invocation.settings.bodyLimit, 64u * 1024);
}

struct ListenCase {
    const char* words;
    const char* host;  // nullptr: a usage error whose message starts with `error`
    int port;
    const char* error;
};

class ListenTest : public testing::TestWithParam<ListenCase> {};

TEST_P(ListenTest, ParsesOrRefuses) {
    const ListenCase& c = GetParam();
    if (c.host != nullptr) {
        const Invocation invocation = ParseCommandLine(Words(c.words));
        EXPECT_EQ(invocation.settings.host, c.host);
        EXPECT_EQ(invocation.settings.port, c.port);
    } else {
        try {
            ParseCommandLine(Words(c.words));
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListenTest,
    testing::Values(
        ListenCase{"--listen 127.0.0.1:9000", "127.0.0.1", 9000, nullptr},
        ListenCase{"--listen=127.1.2.3:0", "127.1.2.3", 0, nullptr},
        ListenCase{"--listen [::1]:9000", "::1", 9000, nullptr},
        ListenCase{"--listen localhost:80", "localhost", 80, nullptr},
        ListenCase{"--listen 0.0.0.0:8470 --insecure", "0.0.0.0", 8470, nullptr},
        ListenCase{"--listen [::]:8470 --tls-cert c.pem --tls-key k.pem", "::", 8470, nullptr},
        ListenCase{"--listen 0.0.0.0:8470", nullptr, 0, "refusing plain HTTP on 0.0.0.0"},
        ListenCase{"--listen 192.168.1.10:8470", nullptr, 0, "refusing plain HTTP"},
        ListenCase{"--listen [::ffff:10.0.0.1]:1", nullptr, 0, "refusing plain HTTP"},
        ListenCase{"--listen 127.0.0.1:70000", nullptr, 0, "--listen's port must be"},
        ListenCase{"--listen 127.0.0.1", nullptr, 0, "--listen takes ADDRESS:PORT"},
        ListenCase{"--listen ::1:80", nullptr, 0, "--listen takes ADDRESS:PORT"},
        ListenCase{"--listen station.example:80", nullptr, 0, "--listen: 'station.example'"},
        ListenCase{"--listen", nullptr, 0, "--listen needs a value"},
        ListenCase{"--tls-cert c.pem", nullptr, 0, "--tls-cert and --tls-key go together"},
        ListenCase{"--insecure=yes", nullptr, 0, "--insecure takes no value"},
        ListenCase{"--colour red", nullptr, 0, "unknown option --colour"},
        ListenCase{"--heartbeat 0", nullptr, 0, "--heartbeat must be seconds"},
        ListenCase{"--max-connections 0", nullptr, 0, "--max-connections must be"},
        ListenCase{"--role pos", nullptr, 0, "--role is for token add"},
        ListenCase{"serve", nullptr, 0, "unknown command 'serve'"}));

TEST(OptionsTest, ParsesTheTokenCommands) {
    const Invocation add = ParseCommandLine(Words("token add till-1 --role pos --config s.ini"));
    EXPECT_EQ(add.command, Command::TokenAdd);
    EXPECT_EQ(add.tokenName, "till-1");
    EXPECT_EQ(add.role, Role::Pos);
    EXPECT_EQ(add.settings.config, "s.ini");
    EXPECT_EQ(ParseCommandLine(Words("token list")).command, Command::TokenList);
    const Invocation revoke = ParseCommandLine(Words("token revoke till-1"));
    EXPECT_EQ(revoke.command, Command::TokenRevoke);
    EXPECT_EQ(revoke.tokenName, "till-1");
    for (const char* wrong : {"token add till-1", "token add till-1 --role king", "token revoke",
                              "token list extra", "token", "token rename a b"}) {
        EXPECT_THROW(ParseCommandLine(Words(wrong)), UsageError) << wrong;
    }
}

TEST(OptionsTest, ParsesTheBackupAndCheckCommands) {
    const Invocation backup = ParseCommandLine(Words("backup /var/backups/f.db --config s.ini"));
    EXPECT_EQ(backup.command, Command::Backup);
    EXPECT_EQ(backup.backupFile, "/var/backups/f.db");
    EXPECT_EQ(backup.settings.config, "s.ini");
    EXPECT_EQ(ParseCommandLine(Words("check --database j.db")).command, Command::Check);
    for (const char* wrong : {"backup", "backup a b", "check now", "check --role pos"})
        EXPECT_THROW(ParseCommandLine(Words(wrong)), UsageError) << wrong;
}

}  // namespace
}  // namespace fuel::server
