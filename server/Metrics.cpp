#include "server/Metrics.h"

#include <cstdio>

namespace fuel::server {
namespace {

constexpr forecourt::FuelPointState kStates[] = {
    forecourt::FuelPointState::Closed,   forecourt::FuelPointState::Idle,
    forecourt::FuelPointState::Calling,  forecourt::FuelPointState::Authorised,
    forecourt::FuelPointState::Fuelling, forecourt::FuelPointState::Offline,
    forecourt::FuelPointState::Error};

// A label value with '\', '"' and newlines escaped, as the format asks.
std::string Label(std::string_view value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string Seconds(std::chrono::nanoseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(duration.count()) / 1e9);
    return text;
}

class Writer {
  public:
    void Family(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    void Sample(const char* name, const std::string& labels, const std::string& value) {
        out_ += name;
        if (!labels.empty())
            out_ += "{" + labels + "}";
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    template <typename Number>
    void Sample(const char* name, const std::string& labels, Number value) {
        Sample(name, labels, std::to_string(value));
    }
    std::string Take() { return std::move(out_); }

  private:
    std::string out_;
};

}  // namespace

std::string FormatMetrics(const std::vector<forecourt::LineHealth>& lines,
                          const forecourt::Snapshot& snapshot, const http::ServerCounters& counters,
                          const EventCounts& events) {
    Writer w;
    const auto line = [](const forecourt::LineHealth& health) {
        return "line=\"" + Label(health.line) + "\"";
    };

    w.Family("fuel_line_up", "gauge", "Whether the line's last poll cycle had an answer.");
    for (const auto& h : lines)
        w.Sample("fuel_line_up", line(h), h.up ? 1 : 0);
    w.Family("fuel_line_exchanges_total", "counter", "Exchanges (requests) sent on the line.");
    for (const auto& h : lines)
        w.Sample("fuel_line_exchanges_total", line(h), h.counters.exchanges);
    w.Family("fuel_line_retries_total", "counter", "Requests sent again after a failed attempt.");
    for (const auto& h : lines)
        w.Sample("fuel_line_retries_total", line(h), h.counters.retries);
    w.Family("fuel_line_failed_exchanges_total", "counter",
             "Exchanges that failed after every attempt.");
    for (const auto& h : lines) {
        w.Sample("fuel_line_failed_exchanges_total", line(h), h.counters.failed);
    }
    w.Family("fuel_line_failures_total", "counter", "Failed attempts, by kind.");
    for (const auto& h : lines) {
        const auto& c = h.counters;
        const std::pair<const char*, std::uint64_t> kinds[] = {
            {"timeout", c.timeouts},
            {"short-reply", c.shortReplies},
            {"bad-start", c.rejectedBadStart},
            {"only-acknowledge", c.rejectedOnlyAcknowledge},
            {"no-end", c.rejectedNoEnd},
            {"bad-checksum", c.rejectedBadChecksum},
            {"other-rejected", c.rejectedOther},
            {"port", c.portFailures},
        };
        for (const auto& [kind, count] : kinds) {
            w.Sample("fuel_line_failures_total", line(h) + ",kind=\"" + kind + "\"", count);
        }
    }
    w.Family("fuel_line_poll_cycles_total", "counter", "Complete poll cycles.");
    for (const auto& h : lines)
        w.Sample("fuel_line_poll_cycles_total", line(h), h.cycles);
    w.Family("fuel_line_poll_cycle_seconds", "gauge",
             "Poll cycle time: the last, and the least, mean and most over the line's life.");
    for (const auto& h : lines) {
        const std::pair<const char*, std::chrono::nanoseconds> stats[] = {
            {"last", h.lastCycle}, {"min", h.minCycle}, {"mean", h.meanCycle}, {"max", h.maxCycle}};
        for (const auto& [stat, value] : stats) {
            w.Sample("fuel_line_poll_cycle_seconds", line(h) + ",stat=\"" + stat + "\"",
                     Seconds(value));
        }
    }
    w.Family("fuel_line_wire_seconds", "gauge",
             "What the last cycle's bytes took on the wire alone, where the line knows it.");
    for (const auto& h : lines)
        w.Sample("fuel_line_wire_seconds", line(h), Seconds(h.lastWireTime));

    w.Family("fuel_point_state", "gauge", "1 for the fuel point's state, 0 for the others.");
    for (const auto& point : snapshot.fuelPoints) {
        for (const auto state : kStates) {
            w.Sample("fuel_point_state",
                     "fuel_point=\"" + std::to_string(point.id) + "\",state=\"" +
                         std::string(forecourt::Name(state)) + "\"",
                     point.state == state ? 1 : 0);
        }
    }
    w.Family("fuel_point_uncleared_sales", "gauge", "Sales of the fuel point not yet cleared.");
    for (const auto& point : snapshot.fuelPoints) {
        w.Sample("fuel_point_uncleared_sales", "fuel_point=\"" + std::to_string(point.id) + "\"",
                 point.unclearedSales);
    }

    w.Family("fuel_journal_sequence", "gauge", "The journal's last event.");
    w.Sample("fuel_journal_sequence", "", snapshot.sequence);
    w.Family("fuel_server_clients", "gauge", "Connected clients, by kind.");
    w.Sample("fuel_server_clients", "kind=\"requests\"", counters.requestConnections.load());
    w.Sample("fuel_server_clients", "kind=\"events\"", counters.eventStreams.load());
    w.Sample("fuel_server_clients", "kind=\"websocket\"", counters.webSockets.load());
    w.Family("fuel_server_connections_refused_total", "counter",
             "Connections refused over the connection limit.");
    w.Sample("fuel_server_connections_refused_total", "", counters.refused.load());
    w.Family("fuel_server_responses_total", "counter", "Answers, by status class.");
    for (std::size_t group = 1; group <= 5; ++group) {
        w.Sample("fuel_server_responses_total", "code=\"" + std::to_string(group) + "xx\"",
                 counters.responses[group].load());
    }
    w.Family("fuel_server_events_published_total", "counter",
             "Events published to the clients (fill progress too).");
    w.Sample("fuel_server_events_published_total", "", events.published);
    w.Family("fuel_server_clients_dropped_total", "counter",
             "Event clients disconnected for falling too far behind.");
    w.Sample("fuel_server_clients_dropped_total", "", events.dropped);
    return w.Take();
}

}  // namespace fuel::server
