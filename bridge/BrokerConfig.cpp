#include "bridge/BrokerConfig.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "bridge/Topics.h"

namespace fuel::bridge {
namespace {

namespace fs = std::filesystem;
using forecourt::ConfigSection;

constexpr std::string_view kIdentityPrefix = "identity.";

class SectionReader {
  public:
    explicit SectionReader(const forecourt::Config& config) : config_(config) {}

    [[noreturn]] void Fail(int line, std::string_view what) const {
        throw forecourt::ConfigErrorAt(config_.file, line, "[mqtt]: " + std::string(what));
    }

    int Integer(const ConfigSection::Key& key, int low, int high) const {
        int value = 0;
        const std::string& text = key.value;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
            value < low || value > high) {
            Fail(key.line, key.name + " must be a whole number from " + std::to_string(low) +
                               " to " + std::to_string(high) + ", not \"" + text + "\"");
        }
        return value;
    }

    bool Boolean(const ConfigSection::Key& key) const {
        if (key.value == "yes" || key.value == "true" || key.value == "1")
            return true;
        if (key.value == "no" || key.value == "false" || key.value == "0")
            return false;
        Fail(key.line, key.name + " must be yes or no, not \"" + key.value + "\"");
    }

    fs::path Path(const ConfigSection::Key& key) const {
        if (key.value.empty())
            Fail(key.line, key.name + " is empty");
        const fs::path path{key.value};
        return path.is_absolute() ? path : (config_.file.parent_path() / path).lexically_normal();
    }

    void TopicLevel(const ConfigSection::Key& key, std::string_view value) const {
        if (!IsTopicLevel(value)) {
            Fail(key.line, key.name + " \"" + std::string(value) +
                               "\" must be one topic level: not empty, no '/', '+', '#' or space");
        }
    }

  private:
    const forecourt::Config& config_;
};

void ReadUrl(const ConfigSection::Key& key, BrokerConfig& broker, const SectionReader& reader) {
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
    if (port)
        broker.port = reader.Integer({"url's port", std::string(*port), key.line}, 1, 65535);
}

}  // namespace

std::optional<BrokerConfig> ReadBrokerConfig(const forecourt::Config& config) {
    const ConfigSection* section = nullptr;
    for (const ConfigSection& each : config.layerSections) {
        if (each.kind != kSectionKind)
            continue;
        if (section != nullptr) {
            throw forecourt::ConfigErrorAt(
                config.file, each.line,
                "[mqtt] is given twice (first on line " + std::to_string(section->line) + ")");
        }
        section = &each;
    }
    if (section == nullptr)
        return std::nullopt;
    const SectionReader reader(config);
    if (!section->name.empty())
        reader.Fail(section->line, "takes no name");

    BrokerConfig broker;
    const ConfigSection::Key* url = nullptr;
    const ConfigSection::Key* station = nullptr;
    const ConfigSection::Key* password = nullptr;
    const ConfigSection::Key* certificate = nullptr;
    const ConfigSection::Key* key = nullptr;
    const ConfigSection::Key* ca = nullptr;
    for (const ConfigSection::Key& each : section->keys) {
        const std::string& name = each.name;
        if (name == "url") {
            url = &each;
            ReadUrl(each, broker, reader);
        } else if (name == "station") {
            station = &each;
            reader.TopicLevel(each, each.value);
            broker.station = each.value;
        } else if (name == "groups") {
            std::istringstream words(each.value);
            for (std::string group; words >> group;) {
                reader.TopicLevel(each, group);
                if (std::find(broker.groups.begin(), broker.groups.end(), group) !=
                    broker.groups.end()) {
                    reader.Fail(each.line, "group \"" + group + "\" is named twice");
                }
                broker.groups.push_back(group);
            }
        } else if (name == "client-id") {
            if (each.value.empty())
                reader.Fail(each.line, "client-id is empty");
            broker.clientId = each.value;
        } else if (name == "user") {
            if (each.value.empty())
                reader.Fail(each.line, "user is empty");
            broker.user = each.value;
        } else if (name == "password") {
            password = &each;
            broker.password = each.value;
        } else if (name == "ca") {
            ca = &each;
            broker.ca = reader.Path(each);
        } else if (name == "certificate") {
            certificate = &each;
            broker.certificate = reader.Path(each);
        } else if (name == "key") {
            key = &each;
            broker.key = reader.Path(each);
        } else if (name == "keepalive") {
            broker.keepalive = reader.Integer(each, 5, 3600);
        } else if (name == "progress") {
            broker.progress = reader.Boolean(each);
        } else if (name.starts_with(kIdentityPrefix)) {
            const std::string identity = name.substr(kIdentityPrefix.size());
            reader.TopicLevel(each, identity);
            const std::optional<Role> role = forecourt::RoleFromName(each.value);
            if (!role) {
                reader.Fail(each.line, "role \"" + each.value + "\" of " + identity +
                                           " is none of " + forecourt::RoleNames());
            }
            broker.identities.emplace(identity, *role);
        } else {
            reader.Fail(each.line, "no key \"" + name + "\"");
        }
    }
    if (url == nullptr)
        reader.Fail(section->line, "url is missing");
    if (station == nullptr)
        reader.Fail(section->line, "station is missing");
    if (password != nullptr && broker.user.empty()) {
        reader.Fail(password->line, "password without user");
    }
    if ((certificate == nullptr) != (key == nullptr)) {
        const ConfigSection::Key* given = certificate != nullptr ? certificate : key;
        reader.Fail(given->line, "certificate and key go together");
    }
    for (const ConfigSection::Key* tlsOnly : {ca, certificate, key}) {
        if (tlsOnly != nullptr && !broker.tls) {
            reader.Fail(tlsOnly->line, tlsOnly->name + " needs an mqtts:// url");
        }
    }
    if (broker.clientId.empty())
        broker.clientId = "station-" + broker.station;
    return broker;
}

}  // namespace fuel::bridge
