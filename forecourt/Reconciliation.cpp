#include "forecourt/Reconciliation.h"

#include <algorithm>
#include <cmath>

namespace fuel::forecourt {
namespace {

struct Reading {
    std::string at;  // RFC 3339: orders as text
    double volume = 0;
    SaleId startOf = 0;  // this reading opened our fill
    SaleId endOf = 0;    // this reading closed our fill
    double fillVolume = 0;
};

std::vector<Reading> ReadingsOf(Connection& db, int fuelPoint, int nozzle, const std::string& from,
                                const std::string& to) {
    std::vector<Reading> readings;
    Statement& standalone = db.Prepare(
        "SELECT at, volume FROM readings WHERE fuel_point = ?1 AND nozzle = ?2 "
        "AND at >= ?3 AND at <= ?4");
    standalone.Bind(1, fuelPoint).Bind(2, nozzle).Bind(3, from).Bind(4, to);
    while (standalone.Step()) {
        readings.push_back({standalone.Text(0), standalone.Real(1)});
    }
    Statement& fills = db.Prepare(
        "SELECT id, started_at, total_before, ended_at, total_after, volume, state FROM fills "
        "WHERE fuel_point = ?1 AND nozzle = ?2 AND started_at IS NOT NULL "
        "AND ((started_at >= ?3 AND started_at <= ?4) OR (ended_at >= ?3 AND ended_at <= ?4))");
    fills.Bind(1, fuelPoint).Bind(2, nozzle).Bind(3, from).Bind(4, to);
    std::vector<std::pair<std::string, std::string>> running;  // unsettled: from, to of ours
    while (fills.Step()) {
        const SaleId id = fills.Integer(0);
        const std::string started = fills.Text(1);
        const bool ended = !fills.IsNull(3) && !fills.IsNull(4);
        if (started >= from) {
            readings.push_back({started, fills.Real(2), id, 0, 0});
        }
        if (ended && fills.Text(3) <= to) {
            readings.push_back({fills.Text(3), fills.Real(4), 0, id, fills.Real(5)});
        } else if (!ended) {
            running.emplace_back(started, to);  // still running: nothing after its start counts
        }
    }
    // Within one millisecond: a fill's start before its own end, any other fill's end before
    // a reading, a reading before a start.
    const auto rank = [](const Reading& r) { return r.endOf != 0 ? 0 : r.startOf == 0 ? 1 : 2; };
    std::stable_sort(readings.begin(), readings.end(), [&](const Reading& a, const Reading& b) {
        if (a.at != b.at)
            return a.at < b.at;
        if (a.startOf != 0 && a.startOf == b.endOf)
            return true;
        if (b.startOf != 0 && b.startOf == a.endOf)
            return false;
        return rank(a) < rank(b);
    });
    // Readings taken while one of our fills ran say nothing the fill's own two do not.
    std::vector<Reading> kept;
    SaleId open = 0;
    for (const Reading& reading : readings) {
        if (reading.startOf != 0)
            open = reading.startOf;
        const bool inside = open != 0 && reading.startOf == 0 && reading.endOf != open;
        if (!inside)
            kept.push_back(reading);
        if (reading.endOf != 0 && reading.endOf == open)
            open = 0;
    }
    for (const auto& [started, until] : running) {
        std::erase_if(kept, [&from = started, &to = until](const Reading& r) {
            return r.at > from && r.at <= to;
        });
    }
    return kept;
}

}  // namespace

Reconciliation Reconcile(Connection& db, const Config& config, Time from, Time to,
                         std::optional<int> fuelPoint, double tolerance) {
    Reconciliation result;
    result.from = from;
    result.to = to;
    result.tolerance = tolerance;
    const std::string fromText = FormatTime(from);
    const std::string toText = FormatTime(to);
    for (const FuelPointConfig& point : config.fuelPoints) {
        if (fuelPoint && point.id != *fuelPoint)
            continue;
        for (std::size_t i = 0; i < point.nozzles.size(); ++i) {
            const int nozzle = static_cast<int>(i) + 1;
            NozzleReconciliation line;
            line.fuelPoint = point.id;
            line.nozzle = nozzle;
            line.grade = point.nozzles[i];
            const std::vector<Reading> readings =
                ReadingsOf(db, point.id, nozzle, fromText, toText);
            line.readings = static_cast<int>(readings.size());
            SaleId lastEnded = 0;
            for (std::size_t k = 0; k + 1 < readings.size(); ++k) {
                const Reading& a = readings[k];
                const Reading& b = readings[k + 1];
                if (a.endOf != 0)
                    lastEnded = a.endOf;
                const bool ours = a.startOf != 0 && a.startOf == b.endOf;
                const double recorded = ours ? b.fillVolume : 0;
                line.recorded += recorded;
                const double growth = b.volume - a.volume;
                // A totaliser that went back was replaced or reset: the next reading is a new
                // baseline, and the stretch across it says nothing of fuel.
                if (growth < -tolerance && !ours)
                    continue;
                line.growth += growth;
                if (std::fabs(growth - recorded) <= tolerance)
                    continue;
                Discrepancy gap;
                gap.from = ParseTime(a.at).value_or(Time{});
                gap.to = ParseTime(b.at).value_or(Time{});
                gap.totalFrom = a.volume;
                gap.totalTo = b.volume;
                gap.growth = growth;
                gap.recorded = recorded;
                gap.difference = growth - recorded;
                if (ours) {
                    gap.fillBefore = a.startOf;
                    gap.fillAfter = a.startOf;
                } else {
                    if (lastEnded != 0)
                        gap.fillBefore = lastEnded;
                    for (std::size_t j = k + 1; j < readings.size(); ++j) {
                        if (readings[j].startOf != 0) {
                            gap.fillAfter = readings[j].startOf;
                            break;
                        }
                    }
                }
                line.discrepancies.push_back(gap);
            }
            line.difference = line.growth - line.recorded;
            result.nozzles.push_back(std::move(line));
        }
    }
    return result;
}

nlohmann::json ToJson(const Reconciliation& reconciliation) {
    nlohmann::json nozzles = nlohmann::json::array();
    const auto optionalId = [](const std::optional<SaleId>& id) {
        return id ? nlohmann::json(*id) : nlohmann::json(nullptr);
    };
    for (const NozzleReconciliation& nozzle : reconciliation.nozzles) {
        nlohmann::json gaps = nlohmann::json::array();
        for (const Discrepancy& gap : nozzle.discrepancies) {
            gaps.push_back({{"from", FormatTime(gap.from)},
                            {"to", FormatTime(gap.to)},
                            {"totalFrom", gap.totalFrom},
                            {"totalTo", gap.totalTo},
                            {"growth", gap.growth},
                            {"recorded", gap.recorded},
                            {"difference", gap.difference},
                            {"fillBefore", optionalId(gap.fillBefore)},
                            {"fillAfter", optionalId(gap.fillAfter)}});
        }
        nozzles.push_back({{"fuelPoint", nozzle.fuelPoint},
                           {"nozzle", nozzle.nozzle},
                           {"grade", nozzle.grade},
                           {"readings", nozzle.readings},
                           {"growth", nozzle.growth},
                           {"recorded", nozzle.recorded},
                           {"difference", nozzle.difference},
                           {"discrepancies", std::move(gaps)}});
    }
    return {{"from", FormatTime(reconciliation.from)},
            {"to", FormatTime(reconciliation.to)},
            {"tolerance", reconciliation.tolerance},
            {"nozzles", std::move(nozzles)}};
}

}  // namespace fuel::forecourt
