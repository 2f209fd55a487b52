#include "forecourt/Store.h"

namespace fuel::forecourt {
namespace {

constexpr char kSaleColumns[] =
    "id, fuel_point, nozzle, grade, price, volume, amount, state, preset_kind, preset_value, "
    "prepaid, authorised_by, locked_by, cleared_by, total_before, total_after, authorised_at, "
    "started_at, ended_at, locked_at, cleared_at, origin, amount_computed";
constexpr char kSaleStates[] = "('PAYABLE', 'LOCKED', 'CLEARED')";

Time TimeAt(const Statement& row, int column) {
    return ParseTime(row.Text(column)).value_or(Time{});
}

std::optional<Time> OptionalTimeAt(const Statement& row, int column) {
    if (row.IsNull(column))
        return std::nullopt;
    return ParseTime(row.Text(column));
}

Sale SaleFrom(const Statement& row) {
    Sale sale;
    sale.id = row.Integer(0);
    sale.fuelPoint = static_cast<int>(row.Integer(1));
    sale.nozzle = static_cast<int>(row.Integer(2));
    sale.grade = row.Text(3);
    sale.price = row.Real(4);
    sale.volume = row.Real(5);
    sale.amount = row.Real(6);
    sale.state = FillStateFromName(row.Text(7)).value_or(FillState::Payable);
    sale.preset = PresetFrom(row.Text(8), row.Real(9));
    sale.prepaid = row.Integer(10) != 0;
    sale.authorisedBy = row.Text(11);
    sale.lockedBy = row.Text(12);
    sale.clearedBy = row.Text(13);
    sale.totalBefore = row.Real(14);
    sale.totalAfter = row.Real(15);
    sale.authorisedAt = TimeAt(row, 16);
    sale.startedAt = TimeAt(row, 17);
    sale.endedAt = TimeAt(row, 18);
    sale.lockedAt = OptionalTimeAt(row, 19);
    sale.clearedAt = OptionalTimeAt(row, 20);
    sale.origin = OriginFromName(row.Text(21)).value_or(Origin::Api);
    sale.amountComputed = row.Integer(22) != 0;
    return sale;
}

void Update(Connection& db, SaleId id, FillState state, const std::string& who, Time at) {
    if (state == FillState::Locked) {
        db.Prepare(
              "UPDATE fills SET state = 'LOCKED', locked_by = ?2, locked_at = ?3 WHERE id = ?1")
            .Bind(1, id)
            .Bind(2, who)
            .Bind(3, FormatTime(at))
            .Run();
    } else if (state == FillState::Payable) {
        db.Prepare(
              "UPDATE fills SET state = 'PAYABLE', locked_by = NULL, locked_at = NULL WHERE id = "
              "?1")
            .Bind(1, id)
            .Run();
    } else {
        db.Prepare(
              "UPDATE fills SET state = 'CLEARED', cleared_by = ?2, cleared_at = ?3 WHERE id = ?1")
            .Bind(1, id)
            .Bind(2, who)
            .Bind(3, FormatTime(at))
            .Run();
    }
}

Outcome SaleConflict(std::string_view why, std::string message, const Sale& sale) {
    return Outcome::Failure(Status::Conflict, why, std::move(message), ToJson(sale));
}

}  // namespace

SaleId InsertAuthorised(Connection& db, int fuelPoint, const Preset& preset,
                        const std::vector<std::string>& grades, bool prepaid,
                        const std::string& client, Time at) {
    db.Prepare(
          "INSERT INTO fills (fuel_point, state, preset_kind, preset_value, grades, prepaid, "
          "authorised_by, authorised_at) VALUES (?1, 'AUTHORISED', ?2, ?3, ?4, ?5, ?6, ?7)")
        .Bind(1, fuelPoint)
        .Bind(2, PresetKindName(preset.kind))
        .Bind(3, preset.value)
        .Bind(4, JsonText(grades))
        .Bind(5, prepaid ? 1 : 0)
        .Bind(6, client)
        .Bind(7, FormatTime(at))
        .Run();
    return db.LastInsertId();
}

void MarkStarted(Connection& db, SaleId id, int nozzle, const std::string& grade, double price,
                 double totalBefore, Time at) {
    db.Prepare(
          "UPDATE fills SET state = 'FUELLING', nozzle = ?2, grade = ?3, price = ?4, "
          "total_before = ?5, started_at = ?6 WHERE id = ?1")
        .Bind(1, id)
        .Bind(2, nozzle)
        .Bind(3, grade)
        .Bind(4, price)
        .Bind(5, totalBefore)
        .Bind(6, FormatTime(at))
        .Run();
}

void MarkUnstarted(Connection& db, SaleId id) {
    db.Prepare(
          "UPDATE fills SET state = 'AUTHORISED', nozzle = NULL, grade = NULL, price = NULL, "
          "total_before = NULL, started_at = NULL WHERE id = ?1")
        .Bind(1, id)
        .Run();
}

void MarkCancelled(Connection& db, SaleId id, const std::string& why, Time at) {
    db.Prepare(
          "UPDATE fills SET state = 'CANCELLED', cancel_reason = ?2, ended_at = ?3 WHERE id = ?1")
        .Bind(1, id)
        .Bind(2, why)
        .Bind(3, FormatTime(at))
        .Run();
}

SaleId InsertAtThePump(Connection& db, int fuelPoint, int nozzle, const std::string& grade,
                       double price, double totalBefore, Time at) {
    db.Prepare(
          "INSERT INTO fills (fuel_point, state, preset_kind, preset_value, grades, prepaid, "
          "authorised_by, authorised_at, nozzle, grade, price, total_before, started_at, origin) "
          "VALUES (?1, 'FUELLING', 'none', 0, '[]', 0, '', ?6, ?2, ?3, ?4, ?5, ?6, 'pump')")
        .Bind(1, fuelPoint)
        .Bind(2, nozzle)
        .Bind(3, grade)
        .Bind(4, price)
        .Bind(5, totalBefore)
        .Bind(6, FormatTime(at))
        .Run();
    return db.LastInsertId();
}

Sale MarkEnded(Connection& db, SaleId id, const Ending& ending, Time at) {
    db.Prepare(
          "UPDATE fills SET volume = ?2, amount = ?3, total_after = ?4, ended_at = ?5, "
          "amount_computed = ?6, total_before = COALESCE(?7, total_before), "
          "state = CASE prepaid WHEN 0 THEN 'PAYABLE' ELSE 'LOCKED' END, "
          "locked_by = CASE prepaid WHEN 0 THEN NULL ELSE authorised_by END, "
          "locked_at = CASE prepaid WHEN 0 THEN NULL ELSE ?5 END "
          "WHERE id = ?1")
        .Bind(1, id)
        .Bind(2, ending.volume)
        .Bind(3, ending.amount)
        .Bind(4, ending.totalAfter)
        .Bind(5, FormatTime(at))
        .Bind(6, ending.amountComputed ? 1 : 0)
        .Bind(7, ending.totalBefore)
        .Run();
    std::optional<Sale> sale = ReadSale(db, id);
    if (!sale) {
        // The fill's row is not there (or not a sale): nothing to make a sale of, and the
        // job fails whole rather than tell anyone of a sale the journal does not hold.
        throw DatabaseError("fill " + std::to_string(id) + " is not in the journal to end");
    }
    return *sale;
}

std::vector<OpenFill> LoadOpenFills(Connection& db) {
    std::vector<OpenFill> fills;
    Statement& select = db.Prepare(
        "SELECT id, fuel_point, state, preset_kind, preset_value, grades, prepaid, authorised_by, "
        "authorised_at, nozzle, grade, price, total_before, started_at, origin FROM fills "
        "WHERE state IN ('AUTHORISED', 'FUELLING') ORDER BY id");
    while (select.Step()) {
        OpenFill fill;
        fill.id = select.Integer(0);
        fill.fuelPoint = static_cast<int>(select.Integer(1));
        fill.state = FillStateFromName(select.Text(2)).value_or(FillState::Authorised);
        fill.preset = PresetFrom(select.Text(3), select.Real(4));
        const auto grades = nlohmann::json::parse(select.Text(5), nullptr, false);
        if (grades.is_array())
            fill.grades = grades.get<std::vector<std::string>>();
        fill.prepaid = select.Integer(6) != 0;
        fill.authorisedBy = select.Text(7);
        fill.authorisedAt = TimeAt(select, 8);
        fill.nozzle = select.IsNull(9) ? 0 : static_cast<int>(select.Integer(9));
        fill.grade = select.Text(10);
        fill.price = select.Real(11);
        fill.totalBefore = select.Real(12);
        fill.startedAt = OptionalTimeAt(select, 13);
        fill.origin = OriginFromName(select.Text(14)).value_or(Origin::Api);
        fills.push_back(std::move(fill));
    }
    return fills;
}

std::map<int, int> UnclearedSalesByPoint(Connection& db) {
    std::map<int, int> counts;
    Statement& select = db.Prepare(
        "SELECT fuel_point, COUNT(*) FROM fills WHERE state IN ('PAYABLE', 'LOCKED') "
        "GROUP BY fuel_point");
    while (select.Step()) {
        counts[static_cast<int>(select.Integer(0))] = static_cast<int>(select.Integer(1));
    }
    return counts;
}

int UnclearedSales(Connection& db, int fuelPoint) {
    Statement& select = db.Prepare(
        "SELECT COUNT(*) FROM fills WHERE fuel_point = ?1 AND state IN ('PAYABLE', 'LOCKED')");
    select.Bind(1, fuelPoint);
    select.Step();
    const auto count = static_cast<int>(select.Integer(0));
    select.Reset();
    return count;
}

std::optional<Sale> ReadSale(Connection& db, SaleId id) {
    Statement& select = db.Prepare(std::string("SELECT ") + kSaleColumns +
                                   " FROM fills WHERE id = ?1 AND state IN " + kSaleStates);
    select.Bind(1, id);
    if (!select.Step())
        return std::nullopt;
    Sale sale = SaleFrom(select);
    select.Reset();
    return sale;
}

SalePage ReadSales(Connection& db, const SaleFilter& filter) {
    // Each combination on the index whose order is the list's: named, because without
    // statistics SQLite would take the state's index for three states and sort them all.
    // The sale states' term stays in every variant: the partial indexes hold only sales,
    // and SQLite takes one only for a query that says so in the same words.
    const char* index = filter.state
                            ? (filter.fuelPoint ? "fills_by_state_point_end" : "fills_by_state_end")
                            : (filter.fuelPoint ? "sales_by_point_end" : "sales_by_end");
    std::string sql = std::string("SELECT ") + kSaleColumns + " FROM fills INDEXED BY " + index +
                      " WHERE state IN " + kSaleStates;
    if (filter.state)
        sql += " AND state = ?1";
    if (filter.fuelPoint)
        sql += " AND fuel_point = ?2";
    if (filter.from)
        sql += " AND ended_at >= ?3";
    if (filter.to)
        sql += " AND ended_at < ?4";
    // The first term bounds the index's range; the second leaves out the sales of the
    // position's millisecond that came before it.
    if (filter.after)
        sql += " AND ended_at <= ?5 AND (ended_at < ?5 OR id < ?6)";
    sql += " ORDER BY ended_at DESC, id DESC LIMIT ?7";
    Statement& select = db.Prepare(sql);
    if (filter.state)
        select.Bind(1, Name(*filter.state));
    if (filter.fuelPoint)
        select.Bind(2, *filter.fuelPoint);
    if (filter.from)
        select.Bind(3, FormatTime(*filter.from));
    if (filter.to)
        select.Bind(4, FormatTime(*filter.to));
    if (filter.after) {
        select.Bind(5, FormatTime(filter.after->endedAt));
        select.Bind(6, filter.after->id);
    }
    const std::size_t limit = std::min<std::size_t>(filter.limit, 1'000'000);
    if (limit == 0)
        return {};
    select.Bind(7, static_cast<std::int64_t>(limit + 1));
    SalePage page;
    while (select.Step()) {
        if (page.sales.size() == limit) {
            const Sale& last = page.sales.back();
            page.next = SalePosition{last.endedAt, last.id};
            break;
        }
        page.sales.push_back(SaleFrom(select));
    }
    select.Reset();
    return page;
}

std::string_view Name(SaleOperation operation) {
    switch (operation) {
        case SaleOperation::Lock:
            return "lock";
        case SaleOperation::Unlock:
            return "unlock";
        case SaleOperation::Clear:
            break;
    }
    return "clear";
}

SaleChange ChangeSale(Connection& db, SaleId id, SaleOperation operation, const std::string& client,
                      Time at) {
    SaleChange change;
    std::optional<Sale> found = ReadSale(db, id);
    if (!found) {
        change.outcome = Outcome::Failure(Status::NotFound, reason::kNoSale,
                                          "there is no sale " + std::to_string(id));
        return change;
    }
    const Sale& sale = *found;
    // The refusals, each said the same way whatever the operation.
    const auto cleared = [&](std::string_view why) {
        return SaleConflict(why,
                            "sale " + std::to_string(id) + " was cleared by " + sale.clearedBy +
                                (sale.clearedAt ? " at " + FormatTime(*sale.clearedAt) : ""),
                            sale);
    };
    const auto lockedByOther = [&] {
        return SaleConflict(reason::kLockedByOther,
                            "sale " + std::to_string(id) + " is locked by " + sale.lockedBy, sale);
    };
    FillState next = sale.state;
    switch (operation) {
        case SaleOperation::Lock:
            if (sale.state == FillState::Cleared) {
                change.outcome = cleared(reason::kAlreadyCleared);
            } else if (sale.state == FillState::Locked && sale.lockedBy != client) {
                change.outcome = lockedByOther();
            } else {
                next = FillState::Locked;
            }
            break;
        case SaleOperation::Unlock:
            if (sale.state == FillState::Cleared) {
                change.outcome = cleared(reason::kAlreadyCleared);
            } else if (sale.state == FillState::Payable) {
                change.outcome = SaleConflict(
                    reason::kNotLocked, "sale " + std::to_string(id) + " is not locked", sale);
            } else if (sale.lockedBy != client) {
                change.outcome = lockedByOther();
            } else {
                next = FillState::Payable;
            }
            break;
        case SaleOperation::Clear:
            if (sale.state == FillState::Cleared && sale.clearedBy != client) {
                change.outcome = cleared(reason::kClearedByOther);
            } else if (sale.state == FillState::Locked && sale.lockedBy != client) {
                change.outcome = lockedByOther();
            } else {
                next = FillState::Cleared;
            }
            break;
    }
    if (!change.outcome.Ok())
        return change;
    if (next != sale.state) {
        Update(db, id, next, client, at);
        change.changed = true;
        change.sale = ReadSale(db, id);
    } else {
        change.sale = sale;
    }
    change.outcome = Outcome::Success(ToJson(*change.sale));
    return change;
}

void InsertReading(Connection& db, int fuelPoint, int nozzle, double volume, Time at,
                   std::string_view source) {
    db.Prepare(
          "INSERT INTO readings (fuel_point, nozzle, volume, at, source) VALUES (?1, ?2, ?3, ?4, "
          "?5)")
        .Bind(1, fuelPoint)
        .Bind(2, nozzle)
        .Bind(3, volume)
        .Bind(4, FormatTime(at))
        .Bind(5, source)
        .Run();
}

std::optional<TotalReading> LastTotal(Connection& db, int fuelPoint, int nozzle) {
    std::optional<std::pair<std::string, double>> newest;
    const auto take = [&](Statement& select) {
        select.Bind(1, fuelPoint).Bind(2, nozzle);
        if (select.Step() && (!newest || select.Text(0) > newest->first))
            newest = std::make_pair(select.Text(0), select.Real(1));
        select.Reset();
    };
    take(
        db.Prepare("SELECT at, volume FROM readings WHERE fuel_point = ?1 AND nozzle = ?2 "
                   "ORDER BY at DESC LIMIT 1"));
    take(db.Prepare(std::string("SELECT ended_at, total_after FROM fills WHERE fuel_point = ?1 "
                                "AND nozzle = ?2 AND state IN ") +
                    kSaleStates + " ORDER BY ended_at DESC LIMIT 1"));
    if (!newest)
        return std::nullopt;
    return TotalReading{newest->second, ParseTime(newest->first).value_or(Time{})};
}

std::map<int, bool> ClosedFlags(Connection& db) {
    std::map<int, bool> flags;
    Statement& select = db.Prepare("SELECT id, closed FROM fuel_points");
    while (select.Step()) {
        flags[static_cast<int>(select.Integer(0))] = select.Integer(1) != 0;
    }
    return flags;
}

void SetClosed(Connection& db, int fuelPoint, bool closed) {
    db.Prepare(
          "INSERT INTO fuel_points (id, closed) VALUES (?1, ?2) "
          "ON CONFLICT (id) DO UPDATE SET closed = excluded.closed")
        .Bind(1, fuelPoint)
        .Bind(2, closed ? 1 : 0)
        .Run();
}

std::map<std::string, double> GradePrices(Connection& db) {
    std::map<std::string, double> prices;
    Statement& select = db.Prepare("SELECT code, price FROM grades");
    while (select.Step()) {
        prices[select.Text(0)] = select.Real(1);
    }
    return prices;
}

void SetGradePrice(Connection& db, const std::string& grade, double price, Time at) {
    db.Prepare(
          "INSERT INTO grades (code, price, changed_at) VALUES (?1, ?2, ?3) "
          "ON CONFLICT (code) DO UPDATE SET price = excluded.price, changed_at = "
          "excluded.changed_at")
        .Bind(1, grade)
        .Bind(2, price)
        .Bind(3, FormatTime(at))
        .Run();
}

}  // namespace fuel::forecourt
