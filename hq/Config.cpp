#include "hq/Config.h"

#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "bridge/Topics.h"
#include "forecourt/ConfigReader.h"

namespace fuel::hq {
namespace {

using forecourt::ConfigErrorAt;
using forecourt::SectionReader;
using Key = SectionReader::Key;

std::chrono::milliseconds Milliseconds(const SectionReader& reader, const Key& key, double low,
                                       double high) {
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(reader.Decimal(key, low, high) * 1000 + 0.5));
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

void ReadMqtt(SectionReader reader, HqConfig& config) {
    reader.RefuseName();
    bridge::MqttSettings& broker = config.broker;
    const Key url = reader.Require("url");
    try {
        const bridge::BrokerAddress address = bridge::ParseBrokerUrl(url.value);
        broker.host = address.host;
        broker.port = address.port;
        broker.tls = address.tls;
    } catch (const bridge::MqttError& e) {
        reader.Fail(url.line, e.what());
    }
    broker.clientId = "fuel-hq-" + HostName();
    if (const auto clientId = reader.Take("client-id"))
        broker.clientId = reader.Text(*clientId);
    if (const auto user = reader.Take("user"))
        broker.user = reader.Text(*user);
    const std::optional<Key> password = reader.Take("password");
    if (password)
        broker.password = password->value;
    const std::optional<Key> ca = reader.Take("ca");
    if (ca)
        broker.ca = reader.Path(*ca);
    const std::optional<Key> certificate = reader.Take("certificate");
    if (certificate)
        broker.certificate = reader.Path(*certificate);
    const std::optional<Key> key = reader.Take("key");
    if (key)
        broker.key = reader.Path(*key);
    if (const auto keepalive = reader.Take("keepalive"))
        broker.keepalive = static_cast<int>(reader.Integer(*keepalive, 5, 3600));
    if (const auto share = reader.Take("share")) {
        if (!bridge::IsTopicLevel(share->value))
            reader.Fail(share->line, "share must be one topic level: no '/', '+', '#' or space");
        config.share = share->value;
    }
    const std::optional<Key> identity = reader.Take("identity");
    if (identity) {
        if (!bridge::IsTopicLevel(identity->value)) {
            reader.Fail(identity->line,
                        "identity must be one topic level: no '/', '+', '#' or space");
        }
        config.identity = identity->value;
    }
    if (const auto expiry = reader.Take("session-expiry"))
        broker.sessionExpiry = std::chrono::seconds(reader.Integer(*expiry, 0, 4294967295));
    reader.Finish();

    if (password && broker.user.empty())
        reader.Fail(password->line, "password without user");
    if (certificate.has_value() != key.has_value())
        reader.Fail((certificate ? certificate : key)->line, "certificate and key go together");
    for (const std::optional<Key>* tlsOnly : {&ca, &certificate, &key}) {
        if (tlsOnly->has_value() && !broker.tls)
            reader.Fail((*tlsOnly)->line, (*tlsOnly)->name + " needs an mqtts:// url");
    }
    if (config.identity.empty()) {
        config.identity = !broker.user.empty() ? broker.user : broker.clientId;
        if (!bridge::IsTopicLevel(config.identity)) {
            reader.Fail(reader.Line(), "the user (or client-id) \"" + config.identity +
                                           "\" is no topic level: give identity");
        }
    }
    // What the head office's intake needs of the connection: shared subscriptions (5), and a
    // session that outlives a killed worker.
    broker.mqtt5 = true;
    broker.cleanSession = false;
}

void ReadIntake(SectionReader reader, HqConfig& config) {
    reader.RefuseName();
    if (const auto size = reader.Take("batch-size"))
        config.batchSize = static_cast<std::size_t>(reader.Integer(*size, 1, 100000));
    if (const auto time = reader.Take("batch-time"))
        config.batchTime = Milliseconds(reader, *time, 0.001, 60);
    if (const auto gap = reader.Take("gap-time"))
        config.gapTime = Milliseconds(reader, *gap, 0.1, 86400);
    if (const auto probe = reader.Take("probe-after"))
        config.probeAfter = Milliseconds(reader, *probe, 0.1, 86400);
    if (const auto apply = reader.Take("apply-every"))
        config.applyEvery = Milliseconds(reader, *apply, 0.1, 86400);
    if (const auto health = reader.Take("health-every"))
        config.healthEvery = Milliseconds(reader, *health, 0.1, 86400);
    if (const auto resend = reader.Take("resend-after"))
        config.resendAfter = Milliseconds(reader, *resend, 0.1, 86400);
    reader.Finish();
}

// GRADE.lowest, GRADE.highest, GRADE.largest-change; "*" for every grade.
void ReadBounds(SectionReader reader, HqConfig& config) {
    reader.RefuseName();
    for (const Key& key : reader.TakeStartingWith("")) {
        const auto dot = key.name.rfind('.');
        const std::string grade = dot == std::string::npos ? "" : key.name.substr(0, dot);
        const std::string bound = dot == std::string::npos ? "" : key.name.substr(dot + 1);
        Limits& limits = config.bounds.grades[grade];
        std::optional<double>* value = bound == bound::kLowest          ? &limits.lowest
                                       : bound == bound::kHighest       ? &limits.highest
                                       : bound == bound::kLargestChange ? &limits.largestChange
                                                                        : nullptr;
        if (grade.empty() || value == nullptr) {
            reader.Fail(key.line,
                        "a bound is GRADE.lowest, GRADE.highest or "
                        "GRADE.largest-change (GRADE * for every grade), not " +
                            key.name);
        }
        *value = reader.Decimal(key, 0.01, 99.99);
        for (const auto& [each, given] : config.bounds.grades) {
            if (const auto problem = LimitsProblem(config.bounds.For(each)))
                reader.Fail(key.line, "grade " + each + ": " + *problem);
        }
    }
    reader.Finish();
}

void ReadAlarms(SectionReader reader, HqConfig& config) {
    reader.RefuseName();
    if (const auto silent = reader.Take("silent-after"))
        config.silentAfter = std::chrono::seconds(reader.Integer(*silent, 1, 31536000));
    if (const auto offline = reader.Take("offline-after"))
        config.offlineAfter = std::chrono::seconds(reader.Integer(*offline, 1, 31536000));
    reader.Finish();
}

}  // namespace

HqConfig LoadHqConfig(const std::filesystem::path& file, const std::string& database) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream)
        throw ConfigErrorAt(file, 0, "cannot read the configuration file");
    std::ostringstream text;
    text << stream.rdbuf();
    HqConfig config;
    config.file = std::filesystem::absolute(file);
    bool mqtt = false;
    bool hasDatabase = false;
    for (forecourt::ConfigSection& section : forecourt::ReadConfigSections(text.str(), file)) {
        const int line = section.line;
        const std::string kind = section.kind;
        SectionReader reader(std::move(section), config.file);
        if (kind == "mqtt") {
            ReadMqtt(std::move(reader), config);
            mqtt = true;
        } else if (kind == "database") {
            reader.RefuseName();
            config.database = reader.Text(reader.Require("connection"));
            reader.Finish();
            hasDatabase = true;
        } else if (kind == "intake") {
            ReadIntake(std::move(reader), config);
        } else if (kind == "alarms") {
            ReadAlarms(std::move(reader), config);
        } else if (kind == "bounds") {
            ReadBounds(std::move(reader), config);
        } else {
            throw ConfigErrorAt(file, line,
                                "unknown section [" + kind +
                                    "]: the sections are [mqtt], [database], [intake], "
                                    "[alarms], [bounds]");
        }
    }
    if (!mqtt)
        throw ConfigErrorAt(file, 0, "no [mqtt] section: the broker's url is needed");
    if (!database.empty())
        config.database = database;
    else if (!hasDatabase)
        throw ConfigErrorAt(file, 0, "no [database] section: its connection is needed");
    return config;
}

}  // namespace fuel::hq
