#include "forecourt/Retention.h"

#include <limits>

namespace fuel::forecourt {
namespace {

constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();

std::string Before(Time now, std::chrono::hours age) {
    return FormatTime(now - age);
}

std::chrono::hours Days(int days) {
    return std::chrono::hours(24) * days;
}

std::chrono::hours Years(int years) {
    return std::chrono::duration_cast<std::chrono::hours>(std::chrono::years(years));
}

}  // namespace

Retention::Retention(RetentionConfig config, HeldEvents held, std::size_t batch)
    : config_(config), held_(std::move(held)), batch_(static_cast<std::int64_t>(batch)) {}

bool Retention::Step(Connection& db, Time now) {
    const auto deleteKind = [&](int kind) {
        switch (kind) {
            case 0:
                return DeleteEvents(db, now);
            case 1:
                return DeleteSales(db, now);
            case 2:
                return DeleteReadings(db, now);
            default:
                return DeleteRequests(db, now);
        }
    };
    for (constexpr int kKinds = 4; kind_ < kKinds; ++kind_) {
        if (deleteKind(kind_) > 0)
            return true;
    }
    kind_ = 0;
    return false;
}

// The oldest events by sequence number, a batch at a time: their times grow with their
// numbers, so the batch stops at the first one still young. Never the last event (the
// journal's numbering goes on from it), and never one after the held position.
int Retention::DeleteEvents(Connection& db, Time now) {
    if (config_.eventDays == 0)
        return 0;
    std::int64_t held = kNoLimit;
    if (held_) {
        const std::optional<Sequence> taken = held_(db);
        if (taken)
            held = *taken;
    }
    db.Prepare(
          "DELETE FROM events WHERE seq IN (SELECT seq FROM events"
          " WHERE seq < (SELECT MAX(seq) FROM events) AND seq <= ?2 ORDER BY seq LIMIT ?3)"
          " AND at < ?1")
        .Bind(1, Before(now, Days(config_.eventDays)))
        .Bind(2, held)
        .Bind(3, batch_)
        .Run();
    const int deleted = db.Changes();
    deleted_.events += static_cast<std::uint64_t>(deleted);
    return deleted;
}

// Sales once cleared, and fills cancelled, by the time they ended: an uncleared sale or a
// running fill is never one of them. Each state is walked along its own end times
// (fills_by_state_end), the oldest first, so that a step costs its batch and never sorts.
int Retention::DeleteSales(Connection& db, Time now) {
    if (config_.saleYears == 0)
        return 0;
    int deleted = 0;
    for (const char* state : {"CLEARED", "CANCELLED"}) {
        db.Prepare(
              "DELETE FROM fills WHERE id IN (SELECT id FROM fills WHERE state = ?3"
              " AND ended_at < ?1 ORDER BY ended_at LIMIT ?2)")
            .Bind(1, Before(now, Years(config_.saleYears)))
            .Bind(2, batch_ - deleted)
            .Bind(3, std::string(state))
            .Run();
        deleted += db.Changes();
        if (deleted >= batch_)
            break;
    }
    deleted_.sales += static_cast<std::uint64_t>(deleted);
    return deleted;
}

// The oldest readings by id (their times grow with it), each nozzle's newest excepted: the
// reconciliation and the next start measure from it.
int Retention::DeleteReadings(Connection& db, Time now) {
    if (config_.saleYears == 0)
        return 0;
    db.Prepare(
          "DELETE FROM readings WHERE id IN (SELECT oldest.id FROM"
          " (SELECT id, fuel_point, nozzle, at FROM readings ORDER BY id LIMIT ?2) AS oldest"
          " WHERE oldest.at < ?1 AND EXISTS (SELECT 1 FROM readings AS newer"
          " WHERE newer.fuel_point = oldest.fuel_point AND newer.nozzle = oldest.nozzle"
          " AND newer.at > oldest.at))")
        .Bind(1, Before(now, Years(config_.saleYears)))
        .Bind(2, batch_)
        .Run();
    const int deleted = db.Changes();
    deleted_.readings += static_cast<std::uint64_t>(deleted);
    return deleted;
}

// The oldest keys by row (the order they came in); a reservation still waiting for its
// outcome is not the retention's to drop.
int Retention::DeleteRequests(Connection& db, Time now) {
    if (config_.requestDays == 0)
        return 0;
    db.Prepare(
          "DELETE FROM requests WHERE rowid IN (SELECT rowid FROM requests ORDER BY rowid"
          " LIMIT ?2) AND at < ?1 AND outcome IS NOT NULL")
        .Bind(1, Before(now, Days(config_.requestDays)))
        .Bind(2, batch_)
        .Run();
    const int deleted = db.Changes();
    deleted_.requests += static_cast<std::uint64_t>(deleted);
    return deleted;
}

}  // namespace fuel::forecourt
