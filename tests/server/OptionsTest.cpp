#include "server/Options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

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
        ListenCase{"--max-connections-per-peer 0", nullptr, 0,
                   "--max-connections-per-peer must be"},
        ListenCase{"--header-timeout 0", nullptr, 0, "--header-timeout must be seconds"},
        ListenCase{"--role pos", nullptr, 0, "--role is for token add"},
        ListenCase{"serve", nullptr, 0, "unknown command 'serve'"}));

TEST(OptionsTest, TakesTheConnectionLimitsAndTheHeadersTime) {
    const ServerSettings defaults;
    EXPECT_LT(defaults.maxConnectionsPerPeer * 4, defaults.maxConnections);
    EXPECT_LT(defaults.headerTimeout, defaults.requestTimeout);
    const Invocation invocation = ParseCommandLine(
        Words("--max-connections 100 --max-connections-per-peer 7 --header-timeout 2.5"));
    EXPECT_EQ(invocation.settings.maxConnections, 100u);
    EXPECT_EQ(invocation.settings.maxConnectionsPerPeer, 7u);
    EXPECT_EQ(invocation.settings.headerTimeout, std::chrono::milliseconds(2500));
}

// The unit as installed must let the daemon have its default connections, and keep its
// journal to itself.
TEST(OptionsTest, TheSystemdUnitAgreesWithTheDefaults) {
    std::ifstream file(std::string(FUEL_SOURCE_DIR) + "/server/systemd/fuel-forecourtd.service");
    ASSERT_TRUE(file.is_open());
    std::map<std::string, std::string> keys;
    for (std::string line; std::getline(file, line);) {
        const std::size_t equals = line.find('=');
        if (!line.empty() && line[0] != '#' && equals != std::string::npos)
            keys[line.substr(0, equals)] = line.substr(equals + 1);
    }
    ASSERT_TRUE(keys.count("LimitNOFILE"));
    const std::size_t soft = std::stoul(keys["LimitNOFILE"]);  // SOFT[:HARD]
    EXPECT_GE(soft, ServerSettings{}.maxConnections + http::kDescriptorReserve);
    EXPECT_LE(soft, 2 * (ServerSettings{}.maxConnections + http::kDescriptorReserve));
    EXPECT_EQ(keys["UMask"], "0077");
    EXPECT_EQ(keys["StateDirectoryMode"], "0700");
}

TEST(OptionsTest, TheManualPageListsTheTls12Suites) {
    std::ifstream file(std::string(FUEL_SOURCE_DIR) + "/docs/fuel-forecourtd.8");
    std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (std::size_t at; (at = page.find("\\-")) != std::string::npos;)
        page.replace(at, 2, "-");
    std::istringstream suites(http::kTls12Ciphers);
    for (std::string suite; std::getline(suites, suite, ':');)
        EXPECT_NE(page.find("\\fB" + suite + "\\fR"), std::string::npos) << suite;
}

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
