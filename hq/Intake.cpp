#include "hq/Intake.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <optional>
#include <tuple>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"
#include "hq/Changes.h"
#include "hq/Watermark.h"

namespace fuel::hq {
namespace {

constexpr std::string_view kEventsLevel = "events/";
constexpr int kDeadlockRetries = 5;

struct EventRow {
    std::string station;
    std::int64_t sequence = 0;
    std::string type;
    std::string at;
    std::string data;  // compact JSON
};

// A time as the station writes it: RFC 3339 with an offset, every field in range, so that
// the server reads it the same whatever its settings and never refuses the batch for it.
bool IsTime(std::string_view text) {
    const auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
        if (at + count > text.size())
            return std::nullopt;
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i])))
                return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2), hour = digits(11, 2),
               minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' ||
        text[7] != '-' || (text[10] != 'T' && text[10] != 't') || text[13] != ':' ||
        text[16] != ':' || *hour > 23 || *minute > 59 || *second > 59 ||
        !std::chrono::year_month_day(std::chrono::year(*year),
                                     std::chrono::month(static_cast<unsigned>(*month)),
                                     std::chrono::day(static_cast<unsigned>(*day)))
             .ok()) {
        return false;
    }
    std::size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        const std::size_t start = ++at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
            ++at;
        if (at == start || at - start > 6)
            return false;
    }
    const std::string_view zone = text.substr(std::min(at, text.size()));
    if (zone == "Z" || zone == "z")
        return true;
    const auto hours = digits(at + 1, 2), minutes = digits(at + 4, 2);
    return zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' && hours &&
           minutes && *hours < 24 && *minutes < 60;
}

// jsonb keeps no NUL in its texts: a value with one would fail the whole batch.
bool HoldsNul(const nlohmann::json& value) {
    if (value.is_string())
        return value.get_ref<const std::string&>().find('\0') != std::string::npos;
    if (value.is_object()) {
        for (const auto& [key, item] : value.items()) {
            if (key.find('\0') != std::string::npos || HoldsNul(item))
                return true;
        }
    }
    if (value.is_array())
        return std::any_of(value.begin(), value.end(), HoldsNul);
    return false;
}

// Of the events not stored (held already), how many came with another content than the
// one held: the same JSON in other bytes is the same; the held copy stays. Each looked up by
// its key (the LIMIT keeps the planner from a join with the whole table).
std::size_t Differing(Connection& connection, const std::vector<EventRow>& events,
                      const std::map<std::string, std::vector<std::int64_t>>& stored) {
    std::vector<std::string> station, type, at, data;
    std::vector<std::int64_t> sequence;
    for (const EventRow& event : events) {
        const auto found = stored.find(event.station);
        if (found != stored.end() && std::find(found->second.begin(), found->second.end(),
                                               event.sequence) != found->second.end()) {
            continue;
        }
        station.push_back(event.station);
        sequence.push_back(event.sequence);
        type.push_back(event.type);
        at.push_back(event.at);
        data.push_back(event.data);
    }
    const Result differing = connection.Exec(R"sql(
SELECT count(*)
FROM unnest($1::text[], $2::bigint[], $3::text[], $4::timestamptz[], $5::jsonb[])
    AS i(station, sequence, type, at, data)
CROSS JOIN LATERAL (SELECT e.type, e.at, e.data FROM events e
                    WHERE e.station = i.station AND e.sequence = i.sequence LIMIT 1) e
WHERE (e.type, e.at, e.data) IS DISTINCT FROM (i.type, i.at, i.data)
)sql",
                                             {ArrayLiteral(station), ArrayLiteral(sequence),
                                              ArrayLiteral(type), ArrayLiteral(at),
                                              ArrayLiteral(data)});
    return static_cast<std::size_t>(differing.Integer(0, 0));
}

struct Parsed {
    std::vector<EventRow> events;
    std::map<std::string, std::string> statuses;  // station -> its last status in the batch
    std::map<std::string, nlohmann::json> infos;  // station -> its last info in the batch
};

}  // namespace

Intake::Intake(Connection& connection, Log log) : connection_(connection), log_(std::move(log)) {}

void Intake::Tell(const std::string& line) const {
    if (log_)
        log_(line);
}

IntakeReport Intake::Store(std::span<const Message> batch) {
    for (int attempt = 0;; ++attempt) {
        try {
            return StoreOnce(batch);
        } catch (const DatabaseError& error) {
            if (!error.TryAgain() || attempt == kDeadlockRetries)
                throw;
        }
    }
}

IntakeReport Intake::StoreOnce(std::span<const Message> batch) {
    IntakeReport report;
    Parsed parsed;
    const auto malformed = [&](const Message& message, const std::string& why) {
        ++report.malformed;
        Tell("passed over a message on " + message.topic + ": " + why);
    };
    for (const Message& message : batch) {
        const auto topic = bridge::ParseStationTopic(message.topic);
        if (!topic) {
            ++report.other;
            continue;
        }
        if (topic->rest == "status") {
            if (message.payload.empty()) {
                ++report.other;  // a retained status deleted
            } else if (message.payload != bridge::kOnline && message.payload != bridge::kOffline) {
                malformed(message, "a status is \"online\" or \"offline\"");
            } else {
                parsed.statuses[topic->station] = message.payload;
                ++report.statuses;
            }
            continue;
        }
        const bool isEvent = topic->rest.starts_with(kEventsLevel);
        if (topic->rest != "info" && !isEvent) {
            ++report.other;
            continue;
        }
        if (message.payload.empty() && !isEvent) {
            ++report.other;
            continue;
        }
        nlohmann::json json;
        try {
            json = nlohmann::json::parse(message.payload);
        } catch (const nlohmann::json::exception& error) {
            malformed(message, std::string("not JSON: ") + error.what());
            continue;
        }
        if (!json.is_object() || !json.contains("station") || json["station"] != topic->station) {
            malformed(message, "not an object of the station its topic names");
            continue;
        }
        if (HoldsNul(json)) {
            malformed(message, "a text with a NUL character");
            continue;
        }
        if (!isEvent) {
            if (!json.contains("groups") || !json["groups"].is_array() ||
                !std::all_of(json["groups"].begin(), json["groups"].end(),
                             [](const nlohmann::json& group) { return group.is_string(); }) ||
                (json.contains("version") && !json["version"].is_string())) {
                malformed(message, "an info's groups are a list of names");
                continue;
            }
            parsed.infos[topic->station] = std::move(json);
            ++report.infos;
            continue;
        }
        const std::string_view topicType =
            std::string_view(topic->rest).substr(kEventsLevel.size());
        const auto id = json.find("id");
        if (id != json.end() && id->is_null()) {
            ++report.live;  // fill progress and the like: never journaled
            continue;
        }
        if (id == json.end() || !id->is_number_integer() || id->get<std::int64_t>() <= 0 ||
            (id->is_number_unsigned() && id->get<std::uint64_t>() > INT64_MAX)) {
            malformed(message, "an event's id is its sequence, a number from 1");
            continue;
        }
        if (!json.contains("type") || json["type"] != topicType) {
            malformed(message, "an event's type is the last level of its topic");
            continue;
        }
        if (!json.contains("at") || !json["at"].is_string() ||
            !IsTime(json["at"].get_ref<const std::string&>())) {
            malformed(message, "an event's at is an RFC 3339 time");
            continue;
        }
        if (!json.contains("data")) {
            malformed(message, "an event without data");
            continue;
        }
        parsed.events.push_back({topic->station, id->get<std::int64_t>(), std::string(topicType),
                                 json["at"].get<std::string>(), json["data"].dump()});
    }
    report.events = parsed.events.size();

    // Twice in the batch: the first copy counts, as against one already held. Sorted, so that
    // two workers take the rows' locks in one order.
    std::stable_sort(parsed.events.begin(), parsed.events.end(), [](const auto& a, const auto& b) {
        return std::tie(a.station, a.sequence) < std::tie(b.station, b.sequence);
    });
    std::vector<EventRow> events;
    for (EventRow& event : parsed.events) {
        if (!events.empty() && events.back().station == event.station &&
            events.back().sequence == event.sequence) {
            ++report.repeats;
            if (std::tie(events.back().type, events.back().at, events.back().data) !=
                std::tie(event.type, event.at, event.data)) {
                ++report.differing;
            }
            continue;
        }
        events.push_back(std::move(event));
    }

    // Every station of the batch, with the highest sequence it brought (0: none).
    std::map<std::string, std::int64_t> stations;
    for (const EventRow& event : events)
        stations[event.station] = std::max(stations[event.station], event.sequence);
    for (const auto& [station, status] : parsed.statuses)
        stations.try_emplace(station, 0);
    for (const auto& [station, info] : parsed.infos)
        stations.try_emplace(station, 0);
    if (stations.empty())
        return report;

    std::vector<std::string> ids;
    std::map<std::string, std::int64_t> received;  // the stations that sent events
    for (const auto& [station, high] : stations) {
        ids.push_back(station);
        if (high > 0)
            received[station] = high;
    }
    Transaction transaction(connection_);
    // The stations' rows first, in order, locked until the commit: they make each station's
    // intake one at a time, so that the watermark below sees every event stored before. Only
    // a station not yet known is written here; the others are written once, at the end.
    const std::string lockRows =
        "SELECT id, watermark, gap_since IS NOT NULL FROM stations "
        "WHERE id = ANY($1::text[]) ORDER BY id FOR UPDATE";
    std::map<std::string, Stood> stood;
    const auto take = [&](const Result& rows) {
        for (int row = 0; row < rows.Rows(); ++row)
            stood[std::string(rows.Text(row, 0))] = {rows.Integer(row, 1), rows.Boolean(row, 2)};
    };
    take(connection_.Exec(lockRows, {ArrayLiteral(ids)}));
    if (stood.size() < ids.size()) {
        std::vector<std::string> unknown;
        for (const std::string& id : ids) {
            if (!stood.contains(id))
                unknown.push_back(id);
        }
        connection_.Exec(
            "INSERT INTO stations (id) SELECT id FROM unnest($1::text[]) AS id ORDER BY id "
            "ON CONFLICT (id) DO NOTHING",
            {ArrayLiteral(unknown)});
        take(connection_.Exec(lockRows, {ArrayLiteral(unknown)}));
    }

    std::map<std::string, std::vector<std::int64_t>> touched;  // station -> sequences stored
    if (!events.empty()) {
        std::vector<std::string> station, type, at, data;
        std::vector<std::int64_t> sequence;
        for (const EventRow& event : events) {
            station.push_back(event.station);
            sequence.push_back(event.sequence);
            type.push_back(event.type);
            at.push_back(event.at);
            data.push_back(event.data);
        }
        const Result stored = connection_.Exec(
            "INSERT INTO events (station, sequence, type, at, data) "
            "SELECT * FROM unnest($1::text[], $2::bigint[], $3::text[], $4::timestamptz[], "
            "$5::jsonb[]) ON CONFLICT DO NOTHING RETURNING station, sequence",
            {ArrayLiteral(station), ArrayLiteral(sequence), ArrayLiteral(type), ArrayLiteral(at),
             ArrayLiteral(data)});
        report.stored = static_cast<std::size_t>(stored.Rows());
        for (int row = 0; row < stored.Rows(); ++row)
            touched[std::string(stored.Text(row, 0))].push_back(stored.Integer(row, 1));
        report.repeats += events.size() - report.stored;
        if (report.stored < events.size())
            report.differing += Differing(connection_, events, touched);
    }
    if (report.differing > 0) {
        Tell(std::to_string(report.differing) +
             " events came again with another content than the one held; the first is kept");
    }
    report.ready = AdvanceWatermarks(connection_, stood, touched, received);

    std::vector<Change> changes;
    if (!parsed.statuses.empty()) {
        std::vector<std::string> who, what;
        for (const auto& [station, status] : parsed.statuses) {
            who.push_back(station);
            what.push_back(status);
        }
        const Result changed = connection_.Exec(
            "UPDATE stations s SET status = t.status, status_since = now() "
            "FROM unnest($1::text[], $2::text[]) AS t(id, status) "
            "WHERE s.id = t.id AND s.status IS DISTINCT FROM t.status "
            "RETURNING s.id, s.status, hq_time_text(s.status_since)",
            {ArrayLiteral(who), ArrayLiteral(what)});
        for (int row = 0; row < changed.Rows(); ++row) {
            const std::string id(changed.Text(row, 0));
            changes.push_back({std::string(change_kind::kStation),
                               id,
                               {{"station", id},
                                {"status", changed.Text(row, 1)},
                                {"since", changed.Text(row, 2)}}});
        }
    }
    if (!parsed.infos.empty()) {
        std::vector<std::string> who, groups, infos;
        std::vector<std::optional<std::string>> versions;
        for (const auto& [station, info] : parsed.infos) {
            who.push_back(station);
            std::vector<std::string> names;
            for (const auto& group : info["groups"])
                names.push_back(group.get<std::string>());
            groups.push_back(ArrayLiteral(names));
            versions.push_back(info.contains("version")
                                   ? std::optional(info["version"].get<std::string>())
                                   : std::nullopt);
            infos.push_back(info.dump());
        }
        // Each station's groups travel as the text of an array, made one in the statement.
        connection_.Exec(
            "UPDATE stations s SET groups = t.groups::text[], version = t.version, info = t.info "
            "FROM unnest($1::text[], $2::text[], $3::text[], $4::jsonb[]) "
            "AS t(id, groups, version, info) WHERE s.id = t.id",
            {ArrayLiteral(who), ArrayLiteral(groups), ArrayLiteral(versions), ArrayLiteral(infos)});
    }
    AppendChanges(connection_, changes);
    transaction.Commit();
    return report;
}

}  // namespace fuel::hq
