// fuel-hq's configuration file: where the broker and the database are, and how the intake
// and the alarms are timed. Read by the station's strict reader (forecourt/ConfigReader.h,
// the same sections and "key = value" lines as the station's file, a key it does not know
// or one given twice refused with its line):
//
//     [mqtt]
//     url = mqtts://broker.example.com:8883   mqtt:// (port 1883) or mqtts:// (TLS, 8883)
//     client-id = fuel-hq-1                   default: fuel-hq-HOSTNAME; one per worker
//     user = hq                               user and password, or ...
//     password = secret
//     ca = /etc/fuel/broker-ca.pem            mqtts: the broker's CA (default: the system's)
//     certificate = hq.pem                    ... a client certificate and its key (mqtts)
//     key = hq.key
//     keepalive = 30                          seconds, 5..3600
//     share = hq                              the shared subscription: $share/hq/...
//     identity = hq                           the replay commands' last topic level
//                                             (default: user, else client-id)
//     session-expiry = 86400                  seconds the broker keeps a gone worker's
//                                             session and its QoS 1 messages
//
//     [database]
//     connection = host=/var/run/postgresql dbname=fuel_hq   libpq's connection string
//
//     [intake]
//     batch-size = 500                        messages stored in one transaction, at most
//     batch-time = 0.2                        seconds a message waits for its batch to fill
//     gap-time = 10                           seconds a gap may stay open before it is asked for
//     probe-after = 300                       seconds an online station may be quiet before
//                                             what follows its events is asked for
//     apply-every = 5                         seconds between applying every station
//     health-every = 10                       seconds between health checks
//     resend-after = 30                       seconds a campaign's price command waits for
//                                             its station's reply before it is sent again
//
//     [alarms]
//     silent-after = 600                      seconds without a word from an online station
//     offline-after = 1800                    seconds a station may stay offline
//
//     [bounds]
//     95.lowest = 1.20                        a grade's price bounds (hq/Bounds.h): a campaign
//     95.highest = 2.40                       outside them waits for a second administrator;
//     *.largest-change = 0.15                 "*." for every grade, a grade's own keys win
//
// Relative paths are taken from the file's directory. Every key but url and connection has
// its default. Mistakes are thrown as forecourt::ConfigError, "FILE:LINE: what".
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

#include "bridge/MqttClient.h"
#include "hq/Bounds.h"

namespace fuel::hq {

struct HqConfig {
    std::filesystem::path file;
    bridge::MqttSettings broker;  // mqtt5, not clean, QoS 1 subscriptions
    std::string share = "hq";
    std::string identity;
    std::string database;  // libpq's connection string (or URI)
    std::size_t batchSize = 500;
    std::chrono::milliseconds batchTime{200};
    std::chrono::milliseconds gapTime{10000};
    std::chrono::milliseconds probeAfter{300000};
    std::chrono::milliseconds applyEvery{5000};
    std::chrono::milliseconds healthEvery{10000};
    std::chrono::seconds silentAfter{600};
    std::chrono::seconds offlineAfter{1800};
    std::chrono::milliseconds resendAfter{30000};
    ConfiguredBounds bounds;
};

// The file's configuration; `database`, when not empty, instead of its [database] section
// (which may then be left out).
HqConfig LoadHqConfig(const std::filesystem::path& file, const std::string& database = {});

}  // namespace fuel::hq
