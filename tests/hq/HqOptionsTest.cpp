// fuel-hq's command line and configuration file: what each accepts, and each mistake refused
// with what it is and where.
#include <gtest/gtest.h>

#include <filesystem>

#include "forecourt/ConfigReader.h"
#include "hq/Bounds.h"
#include "hq/Config.h"
#include "hq/Options.h"
#include "testing/TestFiles.h"

namespace fuel::hq {
namespace {

struct CommandCase {
    std::vector<std::string> words;
    Command command;
    const char* refusal;  // part of the UsageError; nullptr when accepted
};

TEST(HqOptionsTest, CommandLines) {
    const CommandCase cases[] = {
        {{}, Command::Run, nullptr},
        {{"--listen", "127.0.0.1:0", "--verbose"}, Command::Run, nullptr},
        {{"--listen=0.0.0.0:8480"}, Command::Run, "refusing plain HTTP on 0.0.0.0"},
        {{"--listen", "0.0.0.0:8480", "--insecure"}, Command::Run, nullptr},
        {{"--tls-cert", "a.pem"}, Command::Run, "--tls-cert and --tls-key go together"},
        {{"--threads", "0"}, Command::Run, "--threads must be a whole number from 1 to 64"},
        {{"--heartbeat", "x"}, Command::Run, "--heartbeat must be seconds"},
        {{"--frobnicate"}, Command::Run, "unknown option --frobnicate"},
        {{"--config"}, Command::Run, "--config needs a value"},
        {{"--database", ""}, Command::Run, "--database needs a connection string"},
        {{"token", "add", "wall", "--role", "hq-viewer"}, Command::TokenAdd, nullptr},
        {{"token", "add", "wall"}, Command::TokenAdd, "token add needs --role ROLE"},
        {{"token", "add", "wall", "--role", "viewer"},
         Command::TokenAdd,
         "--role must be hq-viewer, hq-pricing or hq-admin"},
        {{"token", "list", "--role", "hq-admin"}, Command::TokenList, "--role is for token add"},
        {{"--role", "hq-admin"}, Command::Run, "--role is for token add"},
        {{"token", "list"}, Command::TokenList, nullptr},
        {{"token", "list", "extra"}, Command::TokenList, "token list takes no operands"},
        {{"token", "revoke"}, Command::TokenRevoke, "token revoke needs one NAME"},
        {{"token", "steal", "x"}, Command::TokenRevoke, "token needs add, list or revoke"},
        {{"serve"}, Command::Run, "unknown command 'serve'"},
        {{"--help", "--frobnicate=1"}, Command::Help, "unknown option"},
        {{"--version"}, Command::Version, nullptr},
    };
    for (const CommandCase& c : cases) {
        std::string words;
        for (const std::string& word : c.words)
            words += word + " ";
        try {
            const Invocation invocation = ParseCommandLine(c.words);
            EXPECT_EQ(c.refusal, nullptr) << words << "was accepted";
            EXPECT_EQ(invocation.command, c.command) << words;
        } catch (const UsageError& e) {
            ASSERT_NE(c.refusal, nullptr) << words << "was refused: " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos)
                << words << ": " << e.what();
        }
    }
}

TEST(HqOptionsTest, HelpNamesEveryRoleAndTheConfiguration) {
    const std::string help = HelpText();
    for (const char* word : {"hq-viewer", "hq-pricing", "hq-admin", "--config FILE",
                             "--database CONNINFO", "token add NAME --role ROLE", "[intake]"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

struct ConfigCase {
    const char* what;
    std::string text;
    const char* refusal;  // part of the ConfigError, with the line; nullptr when accepted
};

TEST(HqConfigTest, Files) {
    const std::string good =
        "[mqtt]\nurl = mqtt://127.0.0.1:1884\n[database]\nconnection = dbname=hq\n";
    const ConfigCase cases[] = {
        {"the least", good, nullptr},
        {"no broker", "[database]\nconnection = dbname=hq\n", "no [mqtt] section"},
        {"no database", "[mqtt]\nurl = mqtt://h\n", "no [database] section"},
        {"a url of another scheme", "[mqtt]\nurl = http://h\n[database]\nconnection = x\n",
         ":2: [mqtt]: url must start with mqtt:// or mqtts://"},
        {"a port out of range", "[mqtt]\nurl = mqtt://h:70000\n[database]\nconnection = x\n",
         ":2: [mqtt]:"},
        {"an unknown key",
         "[mqtt]\nurl = mqtt://h\nshare = hq\nsahre = x\n[database]\n"
         "connection = x\n",
         ":4: [mqtt]: "},
        {"a share that is no level",
         "[mqtt]\nurl = mqtt://h\nshare = a/b\n[database]\n"
         "connection = x\n",
         ":3: [mqtt]: share must be one topic level"},
        {"a password alone", "[mqtt]\nurl = mqtt://h\npassword = p\n[database]\nconnection = x\n",
         ":3: [mqtt]: password without user"},
        {"a CA on plain MQTT", "[mqtt]\nurl = mqtt://h\nca = ca.pem\n[database]\nconnection = x\n",
         "ca needs an mqtts:// url"},
        {"an unknown section", good + "[campaigns]\n", ":5: unknown section [campaigns]"},
        {"a batch of none", good + "[intake]\nbatch-size = 0\n", ":6: [intake]:"},
        {"a key twice", good + "[alarms]\nsilent-after = 5\nsilent-after = 6\n", ":7:"},
        {"bounds", good + "[bounds]\n95.lowest = 1.20\n*.largest-change = 0.15\n", nullptr},
        {"a bound of no grade", good + "[bounds]\nlowest = 1\n", ":6: [bounds]: a bound is"},
        {"a bound of no kind", good + "[bounds]\n95.low = 1\n", ":6: [bounds]: a bound is"},
        {"a bound of nothing", good + "[bounds]\n95.lowest = 0\n", ":6: [bounds]:"},
        {"every grade's lowest above a grade's highest",
         good + "[bounds]\n95.highest = 1.50\n*.lowest = 2\n",
         ":7: [bounds]: grade 95: the lowest price 2.00 is above the highest 1.50"},
    };
    fuel::test::TemporaryDirectory directory;
    for (const ConfigCase& c : cases) {
        const auto file = directory.Path() / "hq.ini";
        fuel::test::WriteBytes(file, c.text);
        try {
            LoadHqConfig(file);
            EXPECT_EQ(c.refusal, nullptr) << c.what << " was accepted";
        } catch (const forecourt::ConfigError& e) {
            ASSERT_NE(c.refusal, nullptr) << c.what << " was refused: " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
}

TEST(HqConfigTest, TheExampleFileLoads) {
    const HqConfig config =
        LoadHqConfig(std::filesystem::path(FUEL_SOURCE_DIR) / "examples/hq/hq.ini");
    EXPECT_EQ(config.share, "hq");
    EXPECT_EQ(config.identity, "hq");
    // Bounds that the example station's prices (45.67 and 48.17) are within.
    const Limits limits = config.bounds.For("95");
    EXPECT_EQ(limits, (Limits{35.00, 65.00, 3.00}));
    EXPECT_EQ(config.bounds.For("92").largestChange, 3.00);
}

TEST(HqConfigTest, WhatAWorkerNeedsOfTheBroker) {
    fuel::test::TemporaryDirectory directory;
    const auto file = directory.Path() / "hq.ini";
    fuel::test::WriteBytes(file,
                           "[mqtt]\nurl = mqtts://[::1]\nuser = hq-7\nca = ca.pem\n"
                           "session-expiry = 60\n[intake]\nbatch-time = 0.05\ngap-time = 2\n");
    const HqConfig config = LoadHqConfig(file, "dbname=other");
    EXPECT_EQ(config.broker.host, "::1");
    EXPECT_EQ(config.broker.port, 8883);
    EXPECT_TRUE(config.broker.tls);
    EXPECT_EQ(config.broker.ca, directory.Path() / "ca.pem");
    // Shared subscriptions and a session that waits for a killed worker.
    EXPECT_TRUE(config.broker.mqtt5);
    EXPECT_FALSE(config.broker.cleanSession);
    EXPECT_EQ(config.broker.sessionExpiry, std::chrono::seconds(60));
    EXPECT_EQ(config.identity, "hq-7");  // the user, when no identity is given
    EXPECT_EQ(config.database, "dbname=other");
    EXPECT_EQ(config.batchTime, std::chrono::milliseconds(50));
    EXPECT_EQ(config.gapTime, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace fuel::hq
