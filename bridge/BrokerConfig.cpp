#include "bridge/BrokerConfig.h"

#include <algorithm>

#include "bridge/Topics.h"

namespace fuel::bridge {
namespace {

using forecourt::SectionReader;
using Key = SectionReader::Key;

constexpr std::string_view kIdentityPrefix = "identity.";

// `value` of the key, which becomes a level of the station's topics.
void TopicLevel(const SectionReader& reader, const Key& key, std::string_view value) {
    if (!IsTopicLevel(value)) {
        reader.Fail(key.line,
                    key.name + " \"" + std::string(value) +
                        "\" must be one topic level: not empty, no '/', '+', '#' or space");
    }
}

void ReadUrl(const Key& key, BrokerConfig& broker, const SectionReader& reader) {
    std::string_view rest = key.value;
    if (rest.starts_with("mqtts://")) {
        broker.tls = true;
        broker.port = 8883;
        rest.remove_prefix(8);
    } else if (rest.starts_with("mqtt://")) {
        broker.tls = false;
        broker.port = 1883;
        rest.remove_prefix(7);
    } else {
        reader.Fail(key.line, "url must start with mqtt:// or mqtts://, not \"" + key.value + "\"");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::optional<std::string_view> port;
    if (rest.starts_with('[')) {  // an IPv6 address: [::1]:1883
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            reader.Fail(key.line, "url: no ] after the address");
        broker.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (rest.starts_with(':')) {
            port = rest.substr(1);
        } else if (!rest.empty()) {
            reader.Fail(key.line, "url \"" + key.value + "\" has more than a host and a port");
        }
    } else {
        const auto colon = rest.find(':');
        broker.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos)
            port = rest.substr(colon + 1);
    }
    if (broker.host.empty() || broker.host.find('/') != std::string::npos) {
        reader.Fail(key.line, "url \"" + key.value + "\" is not mqtt://HOST[:PORT]");
    }
    if (port) {
        broker.port = static_cast<int>(
            reader.Integer({"url's port", std::string(*port), key.line}, 1, 65535));
    }
}

}  // namespace

std::optional<BrokerConfig> ReadBrokerConfig(const forecourt::Config& config) {
    // The reader has refused a second [mqtt] already.
    const auto section = std::find_if(
        config.layerSections.begin(), config.layerSections.end(),
        [](const forecourt::ConfigSection& each) { return each.kind == kSectionKind; });
    if (section == config.layerSections.end())
        return std::nullopt;
    SectionReader reader(*section, config.file);
    reader.RefuseName();

    BrokerConfig broker;
    ReadUrl(reader.Require("url"), broker, reader);
    const Key station = reader.Require("station");
    TopicLevel(reader, station, station.value);
    broker.station = station.value;
    if (const auto groups = reader.Take("groups")) {
        for (const std::string& group : reader.Words(*groups)) {
            TopicLevel(reader, *groups, group);
            if (std::find(broker.groups.begin(), broker.groups.end(), group) !=
                broker.groups.end()) {
                reader.Fail(groups->line, "group \"" + group + "\" is named twice");
            }
            broker.groups.push_back(group);
        }
    }
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
    if (const auto progress = reader.Take("progress"))
        broker.progress = reader.Boolean(*progress);
    for (const Key& each : reader.TakeStartingWith(kIdentityPrefix)) {
        const std::string identity = each.name.substr(kIdentityPrefix.size());
        TopicLevel(reader, each, identity);
        const std::optional<Role> role = forecourt::RoleFromName(each.value);
        if (!role) {
            reader.Fail(each.line, "role \"" + each.value + "\" of " + identity + " is none of " +
                                       forecourt::RoleNames());
        }
        broker.identities.emplace(identity, *role);
    }
    reader.Finish();

    if (password && broker.user.empty())
        reader.Fail(password->line, "password without user");
    if (certificate.has_value() != key.has_value()) {
        reader.Fail((certificate ? certificate : key)->line, "certificate and key go together");
    }
    for (const std::optional<Key>* tlsOnly : {&ca, &certificate, &key}) {
        if (tlsOnly->has_value() && !broker.tls)
            reader.Fail((*tlsOnly)->line, (*tlsOnly)->name + " needs an mqtts:// url");
    }
    if (broker.clientId.empty())
        broker.clientId = "station-" + broker.station;
    return broker;
}

}  // namespace fuel::bridge
