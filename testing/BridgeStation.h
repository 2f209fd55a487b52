// What the bridge's tests and its benchmark share: a station's configuration file on the
// quick test bus, the sequences a back office has received, and ways to make journal events.
#pragma once

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "forecourt/Forecourt.h"
#include "testing/Broker.h"

namespace fuel::bridge::test {

// A station with fuel point 1 (grades 95 and 92) on the test bus with customers, its
// journal in `dir`, and an [mqtt] section for `station` at the broker `url`, followed by
// `extra` lines.
std::filesystem::path WriteStation(const std::filesystem::path& dir, const std::string& station,
                                   const std::string& url, const std::string& extra = {});

// The event messages of one station as a back office sees them, de-duplicated by sequence.
struct Received {
    std::vector<forecourt::Sequence> firsts;  // sequences in order of first arrival
    int repeats = 0;                          // a sequence again (QoS 1 is at-least-once)
    int outOfOrder = 0;                       // a new sequence below one already seen
    int wrongTopic = 0;                       // topic's type or station differ from the payload's
    std::set<std::string> types;
};
Received EventsOf(const std::vector<fuel::test::MqttPeer::Message>& messages,
                  const std::string& station);

// 1, 2 ... n: what `firsts` must be.
std::vector<forecourt::Sequence> OneTo(forecourt::Sequence n);

// Closes and opens fuel point 1 by turns, `count` times: one journal event each. These
// throw std::runtime_error when the forecourt refuses.
void ToggleFuelPoint(forecourt::Forecourt& forecourt, int count);

// One fill of `litres` on fuel point 1, waited for until its sale is made, then cleared.
void Fill(forecourt::Forecourt& forecourt, double litres);

// The retained status of `station` last received, or "" when none yet.
std::string LastStatus(const std::vector<fuel::test::MqttPeer::Message>& messages,
                       const std::string& station);

}  // namespace fuel::bridge::test
