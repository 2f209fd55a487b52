#include "forecourt/Reconciliation.h"

#include <cmath>
#include <set>
#include <string>

namespace fuel::forecourt {
namespace {

using Kind = TotaliserPoint::Kind;

// The fills whose start is a figure (a running one too), and those whose end is: the
// sales. Written as the partial indexes of the schema write them.
#define FUEL_OUR_FILLS "('FUELLING', 'PAYABLE', 'LOCKED', 'CLEARED')"
#define FUEL_SALES "('PAYABLE', 'LOCKED', 'CLEARED')"
#define FUEL_NOZZLE_FILLS "FROM fills WHERE fuel_point = ?1 AND nozzle = ?2 AND state IN "
#define FUEL_STARTS "SELECT id, started_at, total_before " FUEL_NOZZLE_FILLS FUEL_OUR_FILLS
#define FUEL_ENDS "SELECT id, ended_at, total_after, volume " FUEL_NOZZLE_FILLS FUEL_SALES
#define FUEL_READINGS \
    "SELECT id, at, volume, source = 'reset' FROM readings WHERE fuel_point = ?1 AND nozzle = ?2"

struct Figure {
    Kind kind = Kind::Reading;
    std::int64_t id = 0;
    std::string at;  // RFC 3339 as the journal writes it: orders as text
    double total = 0;
    double fillVolume = 0;  // End
    bool reset = false;     // Reading: the totaliser was seen to go back
};

int Rank(Kind kind) {
    return kind == Kind::End ? 0 : kind == Kind::Reading ? 1 : 2;
}

// Within one millisecond: a fill's start before its own end, any other fill's end before a
// reading, a reading before a start; then as the rows were written.
bool Before(const Figure& a, const Figure& b) {
    if (a.at != b.at)
        return a.at < b.at;
    if (a.id == b.id && a.kind == Kind::Start && b.kind == Kind::End)
        return true;
    if (a.id == b.id && a.kind == Kind::End && b.kind == Kind::Start)
        return false;
    if (a.kind != b.kind)
        return Rank(a.kind) < Rank(b.kind);
    return a.id < b.id;
}

Figure FigureFrom(const Statement& row, Kind kind) {
    Figure figure;
    figure.kind = kind;
    figure.id = row.Integer(0);
    figure.at = row.Text(1);
    figure.total = row.Real(2);
    if (kind == Kind::End)
        figure.fillVolume = row.Real(3);
    if (kind == Kind::Reading)
        figure.reset = row.Integer(3) != 0;
    return figure;
}

// One figure or none, from a statement bound to the nozzle and ?3 (and ?4).
std::optional<Figure> One(Statement& select, Kind kind) {
    std::optional<Figure> figure;
    if (select.Step())
        figure = FigureFrom(select, kind);
    select.Reset();
    return figure;
}

class Nozzle {
  public:
    Nozzle(Connection& db, int fuelPoint, int nozzle)
        : db_(db), fuelPoint_(fuelPoint), nozzle_(nozzle) {}

    Statement& Prepare(const std::string& sql) {
        return db_.Prepare(sql).Bind(1, fuelPoint_).Bind(2, nozzle_);
    }

    std::optional<Figure> LatestEndAtOrBefore(const std::string& at) {
        return One(Prepare(FUEL_ENDS " AND ended_at <= ?3 ORDER BY ended_at DESC, id DESC LIMIT 1")
                       .Bind(3, at),
                   Kind::End);
    }
    std::optional<Figure> LatestEndBefore(const std::string& at) {
        return One(Prepare(FUEL_ENDS " AND ended_at < ?3 ORDER BY ended_at DESC, id DESC LIMIT 1")
                       .Bind(3, at),
                   Kind::End);
    }
    std::optional<Figure> LatestStartAtOrBefore(const std::string& at) {
        return One(
            Prepare(FUEL_STARTS " AND started_at <= ?3 ORDER BY started_at DESC, id DESC LIMIT 1")
                .Bind(3, at),
            Kind::Start);
    }
    std::optional<Figure> LatestStartBefore(const std::string& at) {
        return One(
            Prepare(FUEL_STARTS " AND started_at < ?3 ORDER BY started_at DESC, id DESC LIMIT 1")
                .Bind(3, at),
            Kind::Start);
    }
    std::optional<Figure> FirstStartFrom(const std::string& at) {
        return One(Prepare(FUEL_STARTS " AND started_at >= ?3 ORDER BY started_at, id LIMIT 1")
                       .Bind(3, at),
                   Kind::Start);
    }
    std::optional<Figure> LatestReadingAtOrBefore(const std::string& at) {
        return One(
            Prepare(FUEL_READINGS " AND at <= ?3 ORDER BY at DESC, id DESC LIMIT 1").Bind(3, at),
            Kind::Reading);
    }
    std::optional<Figure> LatestReadingEarlier(const std::string& at) {
        return One(
            Prepare(FUEL_READINGS " AND at < ?3 ORDER BY at DESC, id DESC LIMIT 1").Bind(3, at),
            Kind::Reading);
    }
    std::optional<Figure> LatestReadingBefore(const Figure& reading) {
        return One(Prepare(FUEL_READINGS " AND at <= ?3 AND (at < ?3 OR id < ?4) "
                                         "ORDER BY at DESC, id DESC LIMIT 1")
                       .Bind(3, reading.at)
                       .Bind(4, reading.id),
                   Kind::Reading);
    }
    // The end of the fill, when it is a sale.
    std::optional<Figure> EndOf(SaleId fill) {
        Statement& select =
            db_.Prepare(
                   "SELECT id, ended_at, total_after, volume FROM fills WHERE id = ?1 AND "
                   "state IN " FUEL_SALES)
                .Bind(1, fill);
        return One(select, Kind::End);
    }
    // The figure a cursor names, when it is one of this nozzle's.
    std::optional<Figure> Named(Kind kind, std::int64_t id) {
        if (kind == Kind::Reading) {
            return One(Prepare(FUEL_READINGS " AND id = ?3").Bind(3, id), Kind::Reading);
        }
        if (kind == Kind::End)
            return One(Prepare(FUEL_ENDS " AND id = ?3").Bind(3, id), Kind::End);
        return One(Prepare(FUEL_STARTS " AND id = ?3").Bind(3, id), Kind::Start);
    }

    // The fill of ours running just after the figure's time (started before it, not ended
    // at or before it), as 0 or its id.
    SaleId RunningAt(const std::string& at) {
        const auto start = LatestStartBefore(at);
        if (!start)
            return 0;
        const auto end = EndOf(start->id);
        return end && end->at < at ? 0 : start->id;
    }

    // The first figure from `from` on that is not inside one of our fills.
    std::optional<Figure> FirstFigure(const std::string& from, const std::string& to);
    // The last figure at or before `to` that is not inside one of our fills.
    std::optional<Figure> LastFigure(const std::string& to) {
        const auto end = LatestEndAtOrBefore(to);
        const auto reading = LatestReadingAtOrBefore(to);
        const auto start = LatestStartAtOrBefore(to);
        std::optional<Figure> last = end;
        for (const auto& candidate : {reading, start}) {
            if (candidate && (!last || Before(*last, *candidate)))
                last = candidate;
        }
        // A reading after the last start, whose fill had not ended by then: the fill ran
        // on past it, and its start is the last figure that says something.
        if (last && last->kind == Kind::Reading && start && (!end || end->id != start->id))
            return start;
        return last;
    }
    // The fill a reading was taken in (started before it, not ended at or before it).
    std::optional<Figure> FillAround(const Figure& reading) {
        const auto start = LatestStartBefore(reading.at);
        const auto end = LatestEndAtOrBefore(reading.at);
        if (start && (!end || end->id != start->id))
            return start;
        return std::nullopt;
    }
    // The kept figure just before this one, or none.
    std::optional<Figure> FigureBefore(const Figure& figure) {
        const auto end =
            figure.kind == Kind::End ? LatestEndBefore(figure.at) : LatestEndAtOrBefore(figure.at);
        const auto reading = figure.kind == Kind::Reading ? LatestReadingBefore(figure)
                             : figure.kind == Kind::Start ? LatestReadingAtOrBefore(figure.at)
                                                          : LatestReadingEarlier(figure.at);
        const auto start = LatestStartBefore(figure.at);
        std::optional<Figure> before = end;
        for (const auto& candidate : {reading, start}) {
            if (candidate && (!before || Before(*before, *candidate)))
                before = candidate;
        }
        // A reading inside the fill that started last says nothing: its start does.
        if (before && before->kind == Kind::Reading && start && (!end || end->id != start->id))
            return start;
        return before;
    }
    // Whether the daemon saw the totaliser go back between the two times.
    bool ResetBetween(const std::string& from, const std::string& to) {
        Statement& select =
            Prepare(FUEL_READINGS " AND source = 'reset' AND at >= ?3 AND at <= ?4 LIMIT 1");
        select.Bind(3, from).Bind(4, to);
        const bool found = select.Step();
        select.Reset();
        return found;
    }

    Connection& Db() { return db_; }
    int FuelPoint() const { return fuelPoint_; }
    int Number() const { return nozzle_; }

  private:
    Connection& db_;
    int fuelPoint_;
    int nozzle_;
};

// One kind of figure in time order over a period, read a row at a time.
class Stream {
  public:
    Stream(Statement& select, Kind kind) : select_(select), kind_(kind) { Advance(); }
    const Figure* Head() const { return head_ ? &*head_ : nullptr; }
    void Pop() { Advance(); }

  private:
    void Advance() {
        head_.reset();
        if (!done_ && select_.Step())
            head_ = FigureFrom(select_, kind_);
        else
            done_ = true;
    }
    Statement& select_;
    Kind kind_;
    std::optional<Figure> head_;
    bool done_ = false;
};

// The nozzle's figures from `from` to `to` in order, without those inside our fills: the
// three kinds merged as they come from their indexes.
class Figures {
  public:
    Figures(Nozzle& nozzle, const std::string& from, const std::string& to, SaleId open)
        : starts_(Bound(nozzle,
                        FUEL_STARTS
                        " AND started_at >= ?3 AND started_at <= ?4 ORDER BY started_at, id",
                        from, to),
                  Kind::Start),
          ends_(Bound(nozzle,
                      FUEL_ENDS " AND ended_at >= ?3 AND ended_at <= ?4 ORDER BY ended_at, id",
                      from, to),
                Kind::End),
          readings_(
              Bound(nozzle, FUEL_READINGS " AND at >= ?3 AND at <= ?4 ORDER BY at, id", from, to),
              Kind::Reading),
          open_(open) {}

    // Leaves out every figure up to the given one, which opens its fill if it is a start.
    void SkipThrough(const Figure& figure) {
        for (Stream* stream : {&starts_, &ends_, &readings_}) {
            while (stream->Head() != nullptr && !Before(figure, *stream->Head()))
                stream->Pop();
        }
        open_ = figure.kind == Kind::Start ? figure.id : 0;
    }

    std::optional<Figure> Next() {
        while (const Figure* head = Earliest()) {
            Figure figure = *head;
            Pop(figure.kind);
            if (figure.kind == Kind::Start) {
                open_ = figure.id;
                return figure;
            }
            if (figure.kind == Kind::End) {
                if (open_ != 0 && open_ != figure.id)
                    continue;
                open_ = 0;
                return figure;
            }
            if (open_ == 0)
                return figure;
        }
        return std::nullopt;
    }

  private:
    static Statement& Bound(Nozzle& nozzle, const char* sql, const std::string& from,
                            const std::string& to) {
        return nozzle.Prepare(sql).Bind(3, from).Bind(4, to);
    }
    const Figure* Earliest() const {
        const Figure* earliest = nullptr;
        for (const Stream* stream : {&starts_, &ends_, &readings_}) {
            const Figure* head = stream->Head();
            if (head != nullptr && (earliest == nullptr || Before(*head, *earliest)))
                earliest = head;
        }
        return earliest;
    }
    void Pop(Kind kind) {
        (kind == Kind::Start ? starts_ : kind == Kind::End ? ends_ : readings_).Pop();
    }

    Stream starts_;
    Stream ends_;
    Stream readings_;
    SaleId open_ = 0;
};

std::optional<Figure> Nozzle::FirstFigure(const std::string& from, const std::string& to) {
    Figures figures(*this, from, to, RunningAt(from));
    return figures.Next();
}

Time TimeOf(const Figure& figure) {
    return ParseTime(figure.at).value_or(Time{});
}

TotaliserPoint PointOf(const Figure& figure) {
    return {figure.kind, figure.id, TimeOf(figure), figure.total};
}

NozzleReconciliation Summarise(Nozzle& nozzle, const std::string& from, const std::string& to,
                               double tolerance) {
    NozzleReconciliation line;
    line.fuelPoint = nozzle.FuelPoint();
    line.nozzle = nozzle.Number();
    const auto first = nozzle.FirstFigure(from, to);
    const auto last = first ? nozzle.LastFigure(to) : std::nullopt;
    if (!first || !last || Before(*last, *first))
        return line;
    line.first = PointOf(*first);
    line.last = PointOf(*last);
    line.growth = last->total - first->total;
    // A fall at a reset is a new baseline: the stretch into it is no fuel either way.
    Statement& resets = nozzle.Prepare(
        FUEL_READINGS " AND source = 'reset' AND at >= ?3 AND at <= ?4 ORDER BY at, id");
    resets.Bind(3, first->at).Bind(4, last->at);
    std::vector<Figure> found;
    while (resets.Step())
        found.push_back(FigureFrom(resets, Kind::Reading));
    resets.Reset();
    // The daemon reads a totaliser that went back as a fill starts, and may write that
    // reading after the start's own: the fall is then the stretch into the fill's start.
    std::set<std::pair<Kind, std::int64_t>> counted;
    for (const Figure& reset : found) {
        const Figure fallen = nozzle.FillAround(reset).value_or(reset);
        if (!Before(*first, fallen) || Before(*last, fallen) ||
            !counted.insert({fallen.kind, fallen.id}).second) {
            continue;
        }
        const auto before = nozzle.FigureBefore(fallen);
        if (!before || Before(*before, *first))
            continue;
        const double fall = fallen.total - before->total;
        if (fall < -tolerance) {
            line.growth -= fall;
            ++line.resets;
        }
    }
    Statement& sum =
        nozzle.Prepare("SELECT COUNT(*), COALESCE(SUM(volume), 0) " FUEL_NOZZLE_FILLS FUEL_SALES
                       " AND ended_at >= ?3 AND ended_at <= ?4");
    sum.Bind(3, first->at).Bind(4, last->at);
    sum.Step();
    line.sales = static_cast<int>(sum.Integer(0));
    line.recorded = sum.Real(1);
    sum.Reset();
    // The fill that ran at the first figure ended after it: its fuel went before the figure.
    if (const auto running = nozzle.LatestStartBefore(first->at)) {
        const auto end = nozzle.EndOf(running->id);
        if (end && end->at >= first->at && end->at <= last->at) {
            --line.sales;
            line.recorded -= end->fillVolume;
        }
    }
    line.difference = line.growth - line.recorded;
    return line;
}

// A fall from a to b is a new baseline where the daemon saw the totaliser go back between
// them, or inside the fill that b starts (see Summarise).
bool FellAtAReset(Nozzle& nozzle, const Figure& a, const Figure& b, const std::string& to) {
    if (b.reset)
        return true;
    std::string until = b.at;
    if (b.kind == Kind::Start) {
        const auto end = nozzle.EndOf(b.id);
        until = end && end->at < to ? end->at : to;
    }
    return nozzle.ResetBetween(a.at, until);
}

std::string KindLetter(Kind kind) {
    return kind == Kind::Start ? "s" : kind == Kind::End ? "e" : "r";
}

nlohmann::json PointJson(const std::optional<TotaliserPoint>& point) {
    if (!point)
        return nullptr;
    return {{"at", FormatTime(point->at)}, {"total", point->total}};
}

}  // namespace

std::string FormatCursor(const TotaliserPoint& point) {
    return KindLetter(point.kind) + std::to_string(point.id);
}

std::optional<std::pair<Kind, std::int64_t>> ParsePointCursor(std::string_view text) {
    if (text.size() < 2 || text.size() > 19)  // a letter and at most 18 digits
        return std::nullopt;
    const char letter = text.front();
    const Kind kind = letter == 's' ? Kind::Start : letter == 'e' ? Kind::End : Kind::Reading;
    if (letter != 's' && letter != 'e' && letter != 'r')
        return std::nullopt;
    std::int64_t id = 0;
    for (const char c : text.substr(1)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        id = id * 10 + (c - '0');
    }
    if (id < 1)
        return std::nullopt;
    return std::make_pair(kind, id);
}

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
            Nozzle nozzle(db, point.id, static_cast<int>(i) + 1);
            NozzleReconciliation line = Summarise(nozzle, fromText, toText, tolerance);
            line.grade = point.nozzles[i];
            result.nozzles.push_back(std::move(line));
        }
    }
    return result;
}

std::optional<DiscrepancyPage> Discrepancies(Connection& db, const DiscrepancyRequest& request) {
    DiscrepancyPage page;
    page.fuelPoint = request.fuelPoint;
    page.nozzle = request.nozzle;
    page.from = request.from;
    page.to = request.to.value_or(request.from);
    page.tolerance = request.tolerance.value_or(0);
    const double tolerance = page.tolerance;
    const std::string from = FormatTime(page.from);
    const std::string to = FormatTime(page.to);
    Nozzle nozzle(db, request.fuelPoint, request.nozzle);

    std::optional<Figure> a;
    if (request.cursor) {
        const auto named = ParsePointCursor(*request.cursor);
        if (named)
            a = nozzle.Named(named->first, named->second);
        if (!a)
            return std::nullopt;
    } else {
        a = nozzle.FirstFigure(from, to);
        if (!a)
            return page;
    }
    Figures figures(nozzle, a->at, to, 0);
    figures.SkipThrough(*a);
    // Counted in the figures kept, so that every page moves on.
    for (std::size_t looked = 0;; ++looked) {
        if (page.discrepancies.size() >= request.limit || looked >= kFiguresPerPage) {
            page.cursor = FormatCursor(PointOf(*a));
            break;
        }
        const std::optional<Figure> b = figures.Next();
        if (!b)
            break;
        const bool ours = a->kind == Kind::Start && b->kind == Kind::End && a->id == b->id;
        const double recorded = ours ? b->fillVolume : 0;
        const double growth = b->total - a->total;
        const bool baseline = !ours && growth < -tolerance && FellAtAReset(nozzle, *a, *b, to);
        if (!baseline && std::fabs(growth - recorded) > tolerance) {
            Discrepancy gap;
            gap.from = TimeOf(*a);
            gap.to = TimeOf(*b);
            gap.totalFrom = a->total;
            gap.totalTo = b->total;
            gap.growth = growth;
            gap.recorded = recorded;
            gap.difference = growth - recorded;
            if (ours) {
                gap.fillBefore = a->id;
                gap.fillAfter = a->id;
            } else {
                const auto ended = a->kind == Kind::End ? a : nozzle.LatestEndAtOrBefore(a->at);
                if (ended)
                    gap.fillBefore = ended->id;
                const auto started = b->kind == Kind::Start ? b : nozzle.FirstStartFrom(b->at);
                if (started)
                    gap.fillAfter = started->id;
            }
            page.discrepancies.push_back(gap);
        }
        a = b;
    }
    return page;
}

nlohmann::json ToJson(const Reconciliation& reconciliation) {
    nlohmann::json nozzles = nlohmann::json::array();
    for (const NozzleReconciliation& nozzle : reconciliation.nozzles) {
        nozzles.push_back({{"fuelPoint", nozzle.fuelPoint},
                           {"nozzle", nozzle.nozzle},
                           {"grade", nozzle.grade},
                           {"first", PointJson(nozzle.first)},
                           {"last", PointJson(nozzle.last)},
                           {"growth", nozzle.growth},
                           {"recorded", nozzle.recorded},
                           {"sales", nozzle.sales},
                           {"resets", nozzle.resets},
                           {"difference", nozzle.difference}});
    }
    return {{"from", FormatTime(reconciliation.from)},
            {"to", FormatTime(reconciliation.to)},
            {"tolerance", reconciliation.tolerance},
            {"nozzles", std::move(nozzles)}};
}

nlohmann::json ToJson(const DiscrepancyPage& page) {
    const auto optionalId = [](const std::optional<SaleId>& id) {
        return id ? nlohmann::json(*id) : nlohmann::json(nullptr);
    };
    nlohmann::json gaps = nlohmann::json::array();
    for (const Discrepancy& gap : page.discrepancies) {
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
    return {{"fuelPoint", page.fuelPoint},
            {"nozzle", page.nozzle},
            {"from", FormatTime(page.from)},
            {"to", FormatTime(page.to)},
            {"tolerance", page.tolerance},
            {"discrepancies", std::move(gaps)},
            {"cursor", page.cursor ? nlohmann::json(*page.cursor) : nlohmann::json(nullptr)}};
}

}  // namespace fuel::forecourt
