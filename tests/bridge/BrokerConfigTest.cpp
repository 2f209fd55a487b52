#include "bridge/BrokerConfig.h"

#include <gtest/gtest.h>

#include <string>

namespace fuel::bridge {
namespace {

using forecourt::ConfigError;

// A station the forecourt accepts; the [mqtt] section follows it, from line kStationLines + 1.
constexpr std::string_view kStation =
    "[forecourt]\n"
    "database = station.db\n"
    "[line north]\n"
    "port = emulator:bus.conf\n"
    "[grade 95]\n"
    "name = Super 95\n"
    "price = 45.67\n"
    "[fuel-point 1]\n"
    "line = north\n"
    "address = 1\n"
    "nozzles = 95\n";
constexpr int kStationLines = 11;

const std::filesystem::path kFile = "/etc/fuel/station.ini";

std::optional<BrokerConfig> Read(const std::string& section) {
    return ReadBrokerConfig(forecourt::ParseConfig(std::string(kStation) + section, kFile,
                                                   {std::string(kSectionKind)}));
}

TEST(BrokerConfigTest, ReadsEveryKey) {
    const std::optional<BrokerConfig> broker = Read(
        "[mqtt]\n"
        "url = mqtts://broker.example.com:18883\n"
        "station = north-17\n"
        "groups = south diesel-only\n"
        "client-id = n17\n"
        "user = north-17\n"
        "password = s3cret\n"
        "ca = tls/ca.pem\n"
        "certificate = /etc/ssl/n17.pem\n"
        "key = tls/n17.key\n"
        "keepalive = 10\n"
        "progress = yes\n"
        "identity.hq = backoffice\n"
        "identity.till-1 = pos\n");
    ASSERT_TRUE(broker);
    EXPECT_TRUE(broker->tls);
    EXPECT_EQ(broker->host, "broker.example.com");
    EXPECT_EQ(broker->port, 18883);
    EXPECT_EQ(broker->station, "north-17");
    EXPECT_EQ(broker->groups, (std::vector<std::string>{"south", "diesel-only"}));
    EXPECT_EQ(broker->clientId, "n17");
    EXPECT_EQ(broker->user, "north-17");
    EXPECT_EQ(broker->password, "s3cret");
    EXPECT_EQ(broker->ca, "/etc/fuel/tls/ca.pem");
    EXPECT_EQ(broker->certificate, "/etc/ssl/n17.pem");
    EXPECT_EQ(broker->key, "/etc/fuel/tls/n17.key");
    EXPECT_EQ(broker->keepalive, 10);
    EXPECT_TRUE(broker->progress);
    EXPECT_EQ(broker->identities, (Identities{{"hq", Role::Backoffice}, {"till-1", Role::Pos}}));
}

TEST(BrokerConfigTest, Defaults) {
    const auto plain = Read("[mqtt]\nurl = mqtt://10.0.0.1\nstation = s1\n");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->tls);
    EXPECT_EQ(plain->port, 1883);
    EXPECT_EQ(plain->clientId, "station-s1");
    EXPECT_EQ(plain->keepalive, 30);
    EXPECT_FALSE(plain->progress);
    EXPECT_TRUE(plain->identities.empty());

    const auto secure = Read("[mqtt]\nurl = mqtts://[::1]/\nstation = s1\n");
    ASSERT_TRUE(secure);
    EXPECT_EQ(secure->host, "::1");
    EXPECT_EQ(secure->port, 8883);
}

TEST(BrokerConfigTest, NoSectionNoBroker) {
    EXPECT_FALSE(Read(""));
}

TEST(BrokerConfigTest, TheForecourtAloneStillRefusesTheSection) {
    try {
        forecourt::ParseConfig(std::string(kStation) + "[mqtt]\nurl = mqtt://h\n", kFile);
        FAIL() << "accepted";
    } catch (const ConfigError& error) {
        EXPECT_EQ(std::string(error.what()).find(kFile.string() + ":12: unknown section [mqtt]"),
                  0u)
            << error.what();
    }
}

struct BadSection {
    const char* what;
    std::string section;  // after "[mqtt]"
    int line;             // within the section: 0 is the header
    const char* message;
};

class BrokerConfigRefusesTest : public testing::TestWithParam<BadSection> {};

TEST_P(BrokerConfigRefusesTest, NamesTheLine) {
    const BadSection& bad = GetParam();
    try {
        Read("[mqtt]\n" + bad.section);
        FAIL() << bad.what << ": accepted";
    } catch (const ConfigError& error) {
        const std::string expected =
            kFile.string() + ":" + std::to_string(kStationLines + 1 + bad.line) + ": ";
        const std::string message = error.what();
        EXPECT_EQ(message.find(expected), 0u) << bad.what << ": " << message;
        EXPECT_NE(message.find(bad.message), std::string::npos) << bad.what << ": " << message;
    }
}

const std::string kOk = "url = mqtt://h\nstation = s\n";  // lines 1 and 2

INSTANTIATE_TEST_SUITE_P(
    Table, BrokerConfigRefusesTest,
    testing::Values(
        BadSection{"unknown key", kOk + "colour = red\n", 3, "no key \"colour\""},
        BadSection{"no url", "station = s\n", 0, "url is missing"},
        BadSection{"no station", "url = mqtt://h\n", 0, "station is missing"},
        BadSection{"scheme", "url = http://h\nstation = s\n", 1, "mqtt:// or mqtts://"},
        BadSection{"port 0", "url = mqtt://h:0\nstation = s\n", 1, "from 1 to 65535"},
        BadSection{"port not a number", "url = mqtt://h:x\nstation = s\n", 1, "not \"x\""},
        BadSection{"empty port", "url = mqtt://h:\nstation = s\n", 1, "not \"\""},
        BadSection{"no host", "url = mqtt://:1883\nstation = s\n", 1, "mqtt://HOST[:PORT]"},
        BadSection{"a path", "url = mqtt://h/x\nstation = s\n", 1, "mqtt://HOST[:PORT]"},
        BadSection{"station with slash", "url = mqtt://h\nstation = a/b\n", 2, "one topic level"},
        BadSection{"station with plus", "url = mqtt://h\nstation = a+\n", 2, "one topic level"},
        BadSection{"group with slash", kOk + "groups = south a/b\n", 3, "\"a/b\""},
        BadSection{"group twice", kOk + "groups = south south\n", 3, "named twice"},
        BadSection{"certificate without key", "url = mqtts://h\nstation = s\ncertificate = c.pem\n",
                   3, "go together"},
        BadSection{"key without certificate", "url = mqtts://h\nstation = s\nkey = k.pem\n", 3,
                   "go together"},
        BadSection{"ca without tls", kOk + "ca = ca.pem\n", 3, "needs an mqtts:// url"},
        BadSection{"password without user", kOk + "password = p\n", 3, "without user"},
        BadSection{"unknown role", kOk + "identity.hq = admin\n", 3,
                   "none of viewer, pos, backoffice or technician"},
        BadSection{"identity with plus", kOk + "identity.a+ = pos\n", 3, "one topic level"},
        BadSection{"identity twice", kOk + "identity.hq = pos\nidentity.hq = viewer\n", 4,
                   "given twice"},
        BadSection{"keepalive too short", kOk + "keepalive = 1\n", 3, "from 5 to 3600"},
        BadSection{"progress not yes or no", kOk + "progress = maybe\n", 3, "yes or no"},
        BadSection{"section twice", kOk + "[mqtt]\n" + kOk, 3, "given twice"}),
    [](const testing::TestParamInfo<BadSection>& info) {
        std::string name = info.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return name;
    });

}  // namespace
}  // namespace fuel::bridge
