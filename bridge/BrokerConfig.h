// The broker a station publishes to, from the [mqtt] section of the station's configuration
// file (the forecourt keeps the section as read; this file gives it meaning):
//
//     [mqtt]
//     url = mqtts://broker.example.com:8883   mqtt:// (port 1883) or mqtts:// (TLS, port 8883)
//     station = north-17                      this station's id: stations/north-17/...
//     groups = south diesel-only              groups/{group}/commands/price reach it too
//     client-id = station-north-17            default: station-{station}
//     user = north-17                         user and password, or ...
//     password = secret
//     ca = /etc/fuel/broker-ca.pem            mqtts: the broker's CA (default: the system's)
//     certificate = north-17.pem              ... a client certificate and its key (mqtts)
//     key = north-17.key
//     keepalive = 30                          seconds, 5..3600: how soon the broker notices
//                                             a dead station and publishes its last will
//     progress = no                           yes: also fill progress, QoS 0, live only
//     identity.hq = backoffice                broker identities and their roles (pos,
//     identity.till-1 = pos                   backoffice, viewer, technician): only
//                                             backoffice may change prices
//
// Relative paths are taken from the file's directory. Mistakes are thrown as the
// forecourt's ConfigError, "FILE:LINE: what".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/Command.h"
#include "forecourt/Config.h"

namespace fuel::bridge {

// The section's kind, for forecourt::LoadConfig's layer sections.
inline constexpr std::string_view kSectionKind = "mqtt";

struct BrokerConfig {
    bool tls = false;  // mqtts://
    std::string host;
    int port = 1883;
    std::string station;
    std::vector<std::string> groups;
    std::string clientId;
    std::string user;
    std::string password;
    std::filesystem::path ca;           // empty: the system's CAs
    std::filesystem::path certificate;  // with key: a client certificate
    std::filesystem::path key;
    int keepalive = 30;
    bool progress = false;
    Identities identities;
};

// The configuration's [mqtt] section; nullopt when there is none (no broker, no bridge).
std::optional<BrokerConfig> ReadBrokerConfig(const forecourt::Config& config);

}  // namespace fuel::bridge
