#include "server/Metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace fuel::server {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(MetricsTest, WritesEachFamilyOnceWithItsSamples) {
    forecourt::LineHealth line;
    line.line = "north \"a\\b\"";
    line.up = true;
    line.counters.exchanges = 1200;
    line.counters.timeouts = 3;
    line.counters.rejectedBadChecksum = 2;
    line.cycles = 40;
    line.lastCycle = std::chrono::milliseconds(125);
    line.maxCycle = std::chrono::microseconds(250500);
    forecourt::Snapshot snapshot;
    forecourt::FuelPointView point;
    point.id = 3;
    point.state = forecourt::FuelPointState::Fuelling;
    point.unclearedSales = 1;
    snapshot.fuelPoints.push_back(point);
    snapshot.sequence = 77;
    http::ServerCounters counters;
    counters.eventStreams = 2;
    counters.CountResponse(200);
    counters.CountResponse(404);
    counters.CountResponse(404);

    const std::string text = FormatMetrics({line}, snapshot, counters, EventCounts{500, 1});
    const std::vector<std::string> lines = Lines(text);
    std::map<std::string, int> helps;
    std::map<std::string, int> types;
    for (const std::string& l : lines) {
        if (l.rfind("# HELP ", 0) == 0)
            ++helps[l.substr(7, l.find(' ', 7) - 7)];
        if (l.rfind("# TYPE ", 0) == 0)
            ++types[l.substr(7, l.find(' ', 7) - 7)];
    }
    for (const auto& [name, count] : helps) {
        EXPECT_EQ(count, 1) << name;
        EXPECT_EQ(types[name], 1) << name;
    }
    const auto has = [&](const std::string& sample) {
        return std::find(lines.begin(), lines.end(), sample) != lines.end();
    };
    const std::string label = R"(line="north \"a\\b\"")";
    EXPECT_TRUE(has("fuel_line_up{" + label + "} 1")) << text;
    EXPECT_TRUE(has("fuel_line_exchanges_total{" + label + "} 1200"));
    EXPECT_TRUE(has("fuel_line_failures_total{" + label + ",kind=\"timeout\"} 3"));
    EXPECT_TRUE(has("fuel_line_failures_total{" + label + ",kind=\"bad-checksum\"} 2"));
    EXPECT_TRUE(has("fuel_line_poll_cycle_seconds{" + label + ",stat=\"last\"} 0.125"));
    EXPECT_TRUE(has("fuel_line_poll_cycle_seconds{" + label + ",stat=\"max\"} 0.2505"));
    EXPECT_TRUE(has(R"(fuel_point_state{fuel_point="3",state="FUELLING"} 1)"));
    EXPECT_TRUE(has(R"(fuel_point_state{fuel_point="3",state="IDLE"} 0)"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.rfind("fuel_point_state{", 0) == 0 && l.back() == '1';
                            }),
              1);
    EXPECT_TRUE(has(R"(fuel_point_uncleared_sales{fuel_point="3"} 1)"));
    EXPECT_TRUE(has("fuel_journal_sequence 77"));
    EXPECT_TRUE(has(R"(fuel_server_clients{kind="events"} 2)"));
    EXPECT_TRUE(has(R"(fuel_server_responses_total{code="4xx"} 2)"));
    EXPECT_TRUE(has("fuel_server_events_published_total 500"));
    EXPECT_TRUE(has("fuel_server_clients_dropped_total 1"));
}

}  // namespace
}  // namespace fuel::server
