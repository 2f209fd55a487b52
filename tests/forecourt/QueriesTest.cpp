// The journal's questions, as a year of it must be asked: every query that the sale lists,
// the totals, the reconciliation, the requests and the event replay run reads an index
// (SQLite's own plan names no scan of a table that grows), a list read page by page while
// sales arrive gives every sale once, and the reconciliation's summary agrees with the
// stretches it lists.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <set>

#include "forecourt/Journal.h"
#include "forecourt/Reconciliation.h"
#include "forecourt/Requests.h"
#include "forecourt/Store.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const Time kStart = Time{} + std::chrono::hours(24 * 365 * 55);

int Trace(unsigned, void* context, void* statement, void*) {
    if (const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement)))
        static_cast<std::set<std::string>*>(context)->insert(sql);
    return 0;
}

// What SQLite would do, one line per step: "SEARCH fills USING INDEX ...", "SCAN ...".
std::vector<std::string> PlanOf(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(
        sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &statement, nullptr),
        SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    std::vector<std::string> steps;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        steps.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)));
    }
    sqlite3_finalize(statement);
    return steps;
}

// The tables that grow with every fill. A scan of one is a fault, and so is a walk through
// a whole index, or a sort of all it found, for a query that wants its first rows.
void ExpectIndexed(sqlite3* db, const std::string& sql) {
    const bool firstRows = sql.find("LIMIT") != std::string::npos;
    for (const std::string& step : PlanOf(db, sql)) {
        for (const char* table : {"fills", "events", "readings", "requests"}) {
            const std::string scan = std::string("SCAN ") + table;
            if (step.rfind(scan, 0) != 0 || (step.size() > scan.size() && step[scan.size()] != ' '))
                continue;
            const bool throughIndex = step.find(" INDEX ") != std::string::npos ||
                                      step.find("INTEGER PRIMARY KEY") != std::string::npos;
            // A partial index of the requests still running holds a handful, whatever the
            // journal's age: reading it whole is the point of it.
            const bool bounded = step.find("INDEX requests_unfinished") != std::string::npos;
            EXPECT_TRUE(throughIndex && (firstRows || bounded)) << step << "\n  in " << sql;
        }
        if (firstRows) {
            EXPECT_EQ(step.find("TEMP B-TREE"), std::string::npos) << step << "\n  in " << sql;
        }
    }
}

class QueriesTest : public ::testing::Test {
  protected:
    QueriesTest()
        : journal_(directory_.Path() / "journal.db"),
          db_(directory_.Path() / "journal.db", Connection::Mode::ReadWrite) {
        for (const auto& [id, nozzles] :
             {std::pair<int, std::vector<std::string>>{1, {"95", "92"}}, {2, {"95"}}}) {
            FuelPointConfig point;
            point.id = id;
            point.line = "l";
            point.address = id;
            point.nozzles = nozzles;
            config_.fuelPoints.push_back(point);
        }
    }

    // Fuel point 1's nozzle 1 from kStart to `to`.
    static DiscrepancyRequest Asking(Time to, std::size_t limit) {
        DiscrepancyRequest request;
        request.fuelPoint = 1;
        request.nozzle = 1;
        request.from = kStart;
        request.to = to;
        request.tolerance = 0.05;
        request.limit = limit;
        return request;
    }

    // A sale of `volume` litres on the nozzle, from its totaliser at `before`.
    SaleId Sale(int point, int nozzle, Time started, Time ended, double before, double volume,
                FillState state = FillState::Payable) {
        const SaleId id = InsertAuthorised(db_, point, Preset{}, {}, false, "A", started);
        MarkStarted(db_, id, nozzle, "95", 50, before, started);
        MarkEnded(db_, id, {volume, volume * 50, false, before + volume, std::nullopt}, ended);
        if (state != FillState::Payable) {
            ChangeSale(db_, id,
                       state == FillState::Locked ? SaleOperation::Lock : SaleOperation::Clear, "A",
                       ended);
        }
        return id;
    }

    std::set<std::string> Traced(const std::function<void()>& run) {
        std::set<std::string> sql;
        sqlite3_trace_v2(db_.Handle(), SQLITE_TRACE_STMT, Trace, &sql);
        run();
        sqlite3_trace_v2(db_.Handle(), 0, nullptr, nullptr);
        return sql;
    }

    fuel::test::TemporaryDirectory directory_;
    Journal journal_;
    Connection db_;
    Config config_;
};

TEST_F(QueriesTest, EveryQueryReadsAnIndex) {
    // A little of everything the queries meet: sales in each state, a running fill, a
    // reading inside a fill, a reset, an unrecorded stretch.
    Time t = kStart;
    double total = 1000;
    for (int i = 0; i < 6; ++i) {
        const FillState state = i % 3 == 0   ? FillState::Payable
                                : i % 3 == 1 ? FillState::Locked
                                             : FillState::Cleared;
        Sale(1, 1 + i % 2, t, t + seconds(30), total, 5, state);
        total += 5;
        t += seconds(60);
    }
    InsertReading(db_, 1, 1, total + 3, t, "read");
    InsertReading(db_, 1, 1, 10, t + seconds(1), "reset");
    const SaleId running = InsertAuthorised(db_, 1, Preset{}, {}, false, "A", t + seconds(2));
    MarkStarted(db_, running, 1, "95", 50, 10, t + seconds(2));
    InsertReading(db_, 1, 1, 12, t + seconds(3), "start");

    std::set<std::string> sql = Traced([&] {
        for (int mask = 0; mask < 32; ++mask) {
            SaleFilter filter;
            if (mask & 1)
                filter.state = FillState::Cleared;
            if (mask & 2)
                filter.fuelPoint = 1;
            if (mask & 4)
                filter.from = kStart;
            if (mask & 8)
                filter.to = t;
            if (mask & 16)
                filter.after = SalePosition{kStart + seconds(200), 3};
            filter.limit = 2;
            ReadSales(db_, filter);
        }
        ReadSale(db_, 1);
        ChangeSale(db_, 1, SaleOperation::Clear, "A", t);
        LastTotal(db_, 1, 1);
        UnclearedSales(db_, 1);
        UnclearedSalesByPoint(db_);
        LoadOpenFills(db_);
        const Reconciliation summary = Reconcile(db_, config_, kStart, t + seconds(10), {}, 0.05);
        EXPECT_EQ(summary.nozzles.size(), 3u);
        DiscrepancyRequest request = Asking(t + seconds(10), 1);
        const auto page = Discrepancies(db_, request);
        ASSERT_TRUE(page && page->cursor);
        request.cursor = page->cursor;
        EXPECT_TRUE(Discrepancies(db_, request).has_value());
        const RequestRecord record{{"A", "k1"}, {{"op", "clear"}}};
        Recall(db_, record);
        Reserve(db_, record, t);
        Release(db_, record);
        DropUnfinished(db_);
    });
    EXPECT_GT(sql.size(), 45u);  // each variant of the lists, and the rest
    for (const std::string& statement : sql) {
        if (statement.rfind("SELECT", 0) == 0 || statement.rfind("UPDATE", 0) == 0 ||
            statement.rfind("DELETE", 0) == 0) {
            ExpectIndexed(db_.Handle(), statement);
        }
    }

    // The replay and the journal's last event, on the journal's own readers: the one
    // reader it hands out is the one traced.
    std::set<std::string> replay;
    journal_.Read([&](Connection& reader) {
        sqlite3_trace_v2(reader.Handle(), SQLITE_TRACE_STMT, Trace, &replay);
        return 0;
    });
    journal_.EventsAfter(0, 10);
    ASSERT_EQ(replay.size(), 1u);
    ExpectIndexed(db_.Handle(), *replay.begin());
    ExpectIndexed(db_.Handle(), "SELECT COALESCE(MAX(seq), 0) FROM events");
}

// The test's own check, against plans it must refuse.
TEST_F(QueriesTest, APlanThatScansIsCaught) {
    for (const char* sql : {"SELECT * FROM fills WHERE volume > 1",
                            "SELECT * FROM fills WHERE state IN ('PAYABLE', 'LOCKED', 'CLEARED') "
                            "ORDER BY id DESC LIMIT 5",
                            "SELECT * FROM readings WHERE source = 'read'"}) {
        bool failed = false;
        {
            testing::TestPartResultArray results;
            testing::ScopedFakeTestPartResultReporter reporter(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            ExpectIndexed(db_.Handle(), sql);
            failed = results.size() > 0;
        }
        EXPECT_TRUE(failed) << sql;
    }
}

struct PagingCase {
    const char* what;
    std::optional<FillState> state;
    std::optional<int> fuelPoint;
    bool oneDay = false;
};

class SalePagingTest : public QueriesTest, public ::testing::WithParamInterface<PagingCase> {};

// Pages of three, read while sales go on ending: each sale that was there when the first
// page was read comes once, in the list's order, whatever arrived meanwhile; several sales
// of one millisecond split across pages included.
TEST_P(SalePagingTest, GivesEverySaleOnceWhileSalesArrive) {
    const PagingCase& c = GetParam();
    Time t = kStart;
    for (int i = 0; i < 80; ++i) {
        const FillState state = i % 3 == 0   ? FillState::Cleared
                                : i % 3 == 1 ? FillState::Payable
                                             : FillState::Locked;
        Sale(1 + i % 2, 1, t, t + seconds(10), 0, 1, state);
        if (i % 5 != 0)
            t += std::chrono::minutes(30);  // every fifth ends in the same millisecond as the next
    }
    SaleFilter filter;
    filter.state = c.state;
    filter.fuelPoint = c.fuelPoint;
    if (c.oneDay) {
        filter.from = kStart + std::chrono::hours(10);
        filter.to = kStart + std::chrono::hours(20);
    }
    SaleFilter all = filter;
    all.limit = 1000;
    std::vector<SaleId> expected;
    for (const auto& sale : ReadSales(db_, all).sales)
        expected.push_back(sale.id);
    ASSERT_GE(expected.size(), 4u);  // more than one page

    std::vector<SaleId> seen;
    filter.limit = 3;
    Time now = t + std::chrono::hours(100);
    for (int page = 0; page < 100; ++page) {
        const SalePage read = ReadSales(db_, filter);
        for (const auto& sale : read.sales)
            seen.push_back(sale.id);
        EXPECT_LE(read.sales.size(), 3u);
        // Sales that end now, in every state and on both points.
        for (int point = 1; point <= 2; ++point) {
            Sale(point, 1, now, now, 0, 1, page % 2 == 0 ? FillState::Cleared : FillState::Payable);
        }
        now += milliseconds(1);
        if (!read.next)
            break;
        const auto cursor = ParseSaleCursor(FormatCursor(*read.next));
        ASSERT_TRUE(cursor.has_value());
        filter.after = cursor;
    }
    EXPECT_EQ(seen, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, SalePagingTest,
    ::testing::Values(PagingCase{"All", std::nullopt, std::nullopt, false},
                      PagingCase{"Cleared", FillState::Cleared, std::nullopt, false},
                      PagingCase{"FuelPoint", std::nullopt, 2, false},
                      PagingCase{"PayableOnOne", FillState::Payable, 1, false},
                      PagingCase{"OneDay", std::nullopt, std::nullopt, true},
                      PagingCase{"ClearedOnTwoInADay", FillState::Cleared, 2, true}),
    [](const ::testing::TestParamInfo<PagingCase>& info) { return std::string(info.param.what); });

TEST(SaleCursorTest, ReadsOnlyItsOwn) {
    const SalePosition position{kStart + milliseconds(123), 42};
    const auto back = ParseSaleCursor(FormatCursor(position));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->endedAt, position.endedAt);
    EXPECT_EQ(back->id, 42);
    for (const char* bad : {"", "_", "12", "12_", "_3", "a_1", "1_2_3", "1_-2", "-1_2",
                            "99999999999999999_1", "1_99999999999999999"}) {
        EXPECT_FALSE(ParseSaleCursor(bad).has_value()) << bad;
    }
    for (const char* bad : {"", "s", "x1", "s0", "s-1", "e1a", "r123456789012345678901"}) {
        EXPECT_FALSE(ParsePointCursor(bad).has_value()) << bad;
    }
}

// The summary, from its first and last figures, agrees with the stretches the walk finds,
// page by page, on a day with every kind of figure: fills, a fill nobody recorded, a reading
// taken inside a fill (left out), a reset (a new baseline), and a fill still running.
TEST_F(QueriesTest, SummaryAgreesWithTheStretchesPageByPage) {
    Time t = kStart;
    double total = 1000;
    for (int i = 0; i < 25; ++i) {
        Sale(1, 1, t, t + seconds(30), total, 2);
        if (i == 3)
            InsertReading(db_, 1, 1, total + 1, t + seconds(10), "read");  // inside: left out
        total += 2;
        if (i % 7 == 6) {
            InsertReading(db_, 1, 1, total + 0.5, t + seconds(40), "read");
            total += 0.5;  // half a litre nobody recorded
        }
        if (i == 12) {
            total = 10;
            InsertReading(db_, 1, 1, total, t + seconds(45), "reset");
        }
        t += seconds(60);
    }
    const SaleId running = InsertAuthorised(db_, 1, Preset{}, {}, false, "A", t);
    MarkStarted(db_, running, 1, "95", 50, total, t);
    InsertReading(db_, 1, 1, total + 4, t + seconds(5), "start");  // inside the running fill
    const Time to = t + seconds(60);

    const Reconciliation summary = Reconcile(db_, config_, kStart, to, 1, 0.05);
    const NozzleReconciliation& line = summary.nozzles.at(0);
    EXPECT_EQ(line.sales, 25);
    EXPECT_NEAR(line.recorded, 50, 1e-9);
    EXPECT_EQ(line.resets, 1);
    EXPECT_NEAR(line.difference, 1.5, 1e-9);  // three halves
    ASSERT_TRUE(line.first && line.last);
    EXPECT_EQ(line.first->kind, TotaliserPoint::Kind::Start);
    EXPECT_EQ(line.last->id, running);

    for (const std::size_t limit : {std::size_t{1}, std::size_t{2}, std::size_t{100}}) {
        DiscrepancyRequest request = Asking(to, limit);
        double difference = 0;
        std::size_t found = 0;
        for (int page = 0; page < 10; ++page) {
            const auto read = Discrepancies(db_, request);
            ASSERT_TRUE(read.has_value());
            EXPECT_LE(read->discrepancies.size(), limit);
            for (const Discrepancy& gap : read->discrepancies) {
                difference += gap.difference;
                ++found;
                EXPECT_TRUE(gap.fillBefore && gap.fillAfter);
                EXPECT_LT(*gap.fillBefore, *gap.fillAfter);
            }
            if (!read->cursor)
                break;
            request.cursor = read->cursor;
        }
        EXPECT_EQ(found, 3u) << limit;
        EXPECT_NEAR(difference, line.difference, 1e-9) << limit;
    }
}

// A period that begins while a fill runs: the fill's fuel went before the period's first
// figure (its end), so it is not counted, and readings inside it say nothing.
TEST_F(QueriesTest, PeriodBeginningInsideAFillCountsItNot) {
    Sale(1, 1, kStart, kStart + seconds(60), 100, 6);
    InsertReading(db_, 1, 1, 103, kStart + seconds(40), "read");
    Sale(1, 1, kStart + seconds(100), kStart + seconds(120), 106, 4);
    const Reconciliation summary =
        Reconcile(db_, config_, kStart + seconds(30), kStart + seconds(200), 1, 0.05);
    const NozzleReconciliation& line = summary.nozzles.at(0);
    ASSERT_TRUE(line.first.has_value());
    EXPECT_EQ(line.first->kind, TotaliserPoint::Kind::End);
    EXPECT_NEAR(line.first->total, 106, 1e-9);
    EXPECT_EQ(line.sales, 1);
    EXPECT_NEAR(line.growth, 4, 1e-9);
    EXPECT_NEAR(line.difference, 0, 1e-9);
    EXPECT_FALSE(summary.nozzles.at(1).first.has_value());  // nozzle 2: no figure at all
}

}  // namespace
}  // namespace fuel::forecourt
