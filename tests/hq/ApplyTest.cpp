#include "hq/Apply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "StoreFixture.h"
#include "forecourt/EventTypes.h"
#include "hq/Intake.h"
#include "hq/Schema.h"
#include "testing/StationJournal.h"

namespace fuel::hq::test {
namespace {

namespace event_type = forecourt::event_type;
namespace alarm_kind = forecourt::alarm_kind;
using forecourt::FillState;
using forecourt::FuelPointState;

nlohmann::json PointIn(int id, FuelPointState state) {
    forecourt::FuelPointView view;
    view.id = id;
    view.line = "line-1";
    view.address = id;
    view.state = state;
    view.nozzles = {{1, "95", 1.99, false}};
    return forecourt::ToJson(view);
}

forecourt::Sale SaleOf(forecourt::SaleId id, int point, double volume) {
    forecourt::Sale sale;
    sale.id = id;
    sale.fuelPoint = point;
    sale.nozzle = 1;
    sale.grade = "95";
    sale.price = 1.99;
    sale.volume = volume;
    sale.amount = volume * 1.99;
    sale.authorisedBy = "till-1";
    sale.totalBefore = 1000;
    sale.totalAfter = 1000 + volume;
    sale.authorisedAt = At(0);
    sale.startedAt = At(1);
    sale.endedAt = At(60);
    return sale;
}

nlohmann::json PriceReport(const std::string& code, double price) {
    return {{"grade", forecourt::ToJson(forecourt::Grade{code, "Grade " + code, price})},
            {"nozzles",
             nlohmann::json::array({{{"fuelPoint", 1}, {"nozzle", 1}, {"confirmed", true}}})}};
}

// A station's day: fuel points through their states, sales through theirs (locked, cleared,
// cleared without a lock, one left waiting), prices changed, alarms, and events that derive
// nothing.
StationJournal Day(const std::string& station) {
    StationJournal journal(station);
    journal.Add(event_type::kFuelPoint, PointIn(1, FuelPointState::Idle));
    journal.Add(event_type::kFuelPoint, PointIn(2, FuelPointState::Idle));
    journal.Add(event_type::kPrice, PriceReport("95", 1.99));
    journal.Add(event_type::kPrice, PriceReport("92", 1.79));
    for (const FuelPointState state :
         {FuelPointState::Calling, FuelPointState::Authorised, FuelPointState::Fuelling}) {
        journal.Add(event_type::kFuelPoint, PointIn(1, state));
    }
    forecourt::Sale first = SaleOf(1, 1, 20.5);
    journal.Add(event_type::kSale, forecourt::ToJson(first));
    journal.Add(event_type::kFuelPoint, PointIn(1, FuelPointState::Idle));
    first.state = FillState::Locked;
    first.lockedBy = "till-2";
    first.lockedAt = At(70);
    journal.Add(event_type::kSale, forecourt::ToJson(first));
    journal.Add(event_type::kAlarm,
                forecourt::AlarmData(alarm_kind::kUnauthorisedFill, 2, "a fill nobody authorised",
                                     {{"nozzle", 1}, {"sale", 2}}));
    forecourt::Sale second = SaleOf(2, 2, 5);
    journal.Add(event_type::kSale, forecourt::ToJson(second));
    first.state = FillState::Cleared;
    first.clearedBy = "till-2";
    first.clearedAt = At(80);
    journal.Add(event_type::kSale, forecourt::ToJson(first));
    journal.Add(event_type::kPrice, PriceReport("95", 2.05));
    journal.Add(event_type::kFillCancelled, {{"fuelPoint", 2}, {"reason", "withdrawn"}});
    second.state = FillState::Cleared;
    second.clearedBy = "till-1";
    second.clearedAt = At(90);
    journal.Add(event_type::kSale, forecourt::ToJson(second));
    journal.Add(event_type::kSale, forecourt::ToJson(SaleOf(3, 1, 7.25)));
    journal.Add(event_type::kEmergencyStop, {{"by", "till-1"}, {"fuelPoints", {1, 2}}});
    journal.Add(event_type::kFuelPoint, PointIn(2, FuelPointState::Offline));
    journal.Add(event_type::kAlarm,
                forecourt::AlarmData(alarm_kind::kTotaliserReset, 1, "the totaliser went back",
                                     {{"nozzle", 1}, {"before", 1027.75}, {"after", 3}}));
    journal.Add("a-type-of-tomorrow", {{"anything", true}});
    return journal;
}

// Everything derived, as text, in a fixed order (alarms without their head-office number).
std::string Derived(Connection& db) {
    std::string text;
    for (const char* query : {
             "SELECT s.*::text FROM sales s ORDER BY station, id",
             "SELECT f.*::text FROM fuel_points f ORDER BY station, id",
             "SELECT p.*::text FROM prices p ORDER BY station, grade",
             "SELECT (station, kind, fuel_point, message, data, sequence, raised_at, cleared_at, "
             "acknowledged_at)::text FROM alarms ORDER BY station, sequence",
             "SELECT (id, watermark, applied)::text FROM stations ORDER BY id",
         }) {
        const Result rows = db.Exec(query);
        for (int row = 0; row < rows.Rows(); ++row)
            text += std::string(rows.Text(row, 0)) + "\n";
        text += "--\n";
    }
    return text;
}

void ApplyAll(Connection& db, std::int64_t limit) {
    for (std::vector<std::string> ready = StationsToApply(db); !ready.empty();
         ready = StationsToApply(db)) {
        Apply(db, ready, limit);
    }
}

class ApplyTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (!IsSkipped())
            Migrate(Db());
    }
    std::unique_ptr<Connection> NewDatabase() {
        static int made = 0;
        auto db = std::make_unique<Connection>(
            Server().CreateDatabase("apply_" + std::to_string(++made)));
        Migrate(*db);
        return db;
    }
};

// The replay: every event stored in order and applied one at a time.
TEST_F(ApplyTest, OneByOneInOrderGivesTheStationsState) {
    const StationJournal north = Day("north");
    Intake intake(Db());
    intake.Store(north.Messages());
    ApplyAll(Db(), 1);
    const Result sales = Db().Exec(
        "SELECT id, state, locked_by, cleared_by, volume::text, cleared_at IS NOT NULL "
        "FROM sales ORDER BY id");
    const struct {
        std::int64_t id;
        const char* state;
        std::optional<std::string> lockedBy, clearedBy;
        const char* volume;
        bool cleared;
    } expected[] = {
        {1, "CLEARED", "till-2", "till-2", "20.5", true},
        {2, "CLEARED", std::nullopt, "till-1", "5.0", true},
        {3, "PAYABLE", std::nullopt, std::nullopt, "7.25", false},
    };
    ASSERT_EQ(sales.Rows(), 3);
    for (int row = 0; row < 3; ++row) {
        const auto& e = expected[row];
        EXPECT_EQ(sales.Integer(row, 0), e.id);
        EXPECT_EQ(sales.Text(row, 1), e.state) << e.id;
        EXPECT_EQ(sales.OptionalText(row, 2), e.lockedBy) << e.id;
        EXPECT_EQ(sales.OptionalText(row, 3), e.clearedBy) << e.id;
        EXPECT_EQ(sales.Text(row, 4), e.volume) << e.id;
        EXPECT_EQ(sales.Boolean(row, 5), e.cleared) << e.id;
    }
    const Result points = Db().Exec("SELECT id, state FROM fuel_points ORDER BY id");
    ASSERT_EQ(points.Rows(), 2);
    EXPECT_EQ(points.Text(0, 1), "IDLE");
    EXPECT_EQ(points.Text(1, 1), "OFFLINE");
    const Result prices = Db().Exec("SELECT grade, price::text FROM prices ORDER BY grade");
    ASSERT_EQ(prices.Rows(), 2);
    EXPECT_EQ(prices.Text(0, 1), "1.79");
    EXPECT_EQ(prices.Text(1, 1), "2.05");
    const Result alarms = Db().Exec("SELECT kind, fuel_point FROM alarms ORDER BY sequence");
    ASSERT_EQ(alarms.Rows(), 2);
    EXPECT_EQ(alarms.Text(0, 0), alarm_kind::kUnauthorisedFill);
    EXPECT_EQ(alarms.Text(1, 0), alarm_kind::kTotaliserReset);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM changes WHERE kind = 'alarm'").Integer(0, 0), 2);
    EXPECT_EQ(Db().Exec("SELECT applied FROM stations").Integer(0, 0), north.Last());
}

// Delivered in random batches, out of order, with repeats, and applied in random steps as
// the watermark allows: the same derived tables as the replay.
TEST_F(ApplyTest, RandomBatchesWithRepeatsEqualTheReplay) {
    const StationJournal north = Day("north"), south = Day("south");
    std::vector<Message> all = north.Messages();
    all.insert(all.end(), south.Messages().begin(), south.Messages().end());
    Intake(Db()).Store(all);
    ApplyAll(Db(), 1);
    const std::string replay = Derived(Db());

    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        std::vector<Message> delivered = all;
        for (std::size_t i = 0; i < all.size() / 3; ++i)
            delivered.push_back(all[random() % all.size()]);
        std::shuffle(delivered.begin(), delivered.end(), random);
        auto db = NewDatabase();
        Intake intake(*db);
        std::size_t stored = 0;
        for (std::size_t at = 0; at < delivered.size();) {
            const std::size_t size = std::min<std::size_t>(1 + random() % 6, delivered.size() - at);
            const IntakeReport report =
                intake.Store(std::span<const Message>(delivered).subspan(at, size));
            stored += report.stored;
            at += size;
            Apply(*db, report.ready, 1 + random() % 4);
        }
        ApplyAll(*db, 3);
        EXPECT_EQ(stored, all.size());
        EXPECT_EQ(Derived(*db), replay);
    }
}

// A station's event that is not what the derived tables need is passed over, and never
// holds up the events after it.
TEST_F(ApplyTest, MalformedEventDataIsPassedOver) {
    StationJournal north("north");
    nlohmann::json badPrice = forecourt::ToJson(SaleOf(1, 1, 10));
    badPrice["price"] = "1.99";
    nlohmann::json badTime = forecourt::ToJson(SaleOf(2, 1, 10));
    badTime["startedAt"] = "2026-02-30T25:00:00Z";
    north.Add(event_type::kSale, badPrice);
    north.Add(event_type::kSale, badTime);
    north.Add(event_type::kFuelPoint, {{"id", "one"}, {"state", "IDLE"}});
    north.Add(event_type::kPrice, {{"grade", "95"}});
    north.Add(event_type::kAlarm, {{"message", "no kind"}});
    north.Add(event_type::kSale, forecourt::ToJson(SaleOf(3, 1, 10)));
    Intake(Db()).Store(north.Messages());
    ApplyAll(Db(), 100);
    EXPECT_EQ(Db().Exec("SELECT applied FROM stations").Integer(0, 0), 6);
    const Result sales = Db().Exec("SELECT id, started_at IS NULL FROM sales ORDER BY id");
    ASSERT_EQ(sales.Rows(), 2);  // the sale with a time that is none keeps it as unknown
    EXPECT_EQ(sales.Integer(0, 0), 2);
    EXPECT_TRUE(sales.Boolean(0, 1));
    EXPECT_EQ(sales.Integer(1, 0), 3);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM fuel_points").Integer(0, 0), 0);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM prices").Integer(0, 0), 0);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM alarms").Integer(0, 0), 0);
}

// Two workers applying one station at once, many times over: every event is applied by
// exactly one of them. Without the station's lock both would read the same cursor and apply
// the same range, and their counts would add up to more than the events.
TEST_F(ApplyTest, TwoAppliersNeverApplyOneStationTogether) {
    constexpr int kRounds = 25;
    constexpr int kEvents = 24;
    StationJournal north("north");
    Intake intake(Db());
    Connection first(Url()), second(Url());
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Message> batch;
        for (int i = 0; i < kEvents; ++i) {
            if (i % 3 == 0) {
                batch.push_back(
                    north.Add(event_type::kAlarm,
                              forecourt::AlarmData(alarm_kind::kTotaliserReset, 1, "went back")));
            } else {
                batch.push_back(
                    north.Add(event_type::kFuelPoint, PointIn(i % 4 + 1, FuelPointState::Idle)));
            }
        }
        intake.Store(batch);
        std::atomic<std::int64_t> applied{0};
        std::barrier start(2);
        const auto worker = [&](Connection& db, std::int64_t limit) {
            start.arrive_and_wait();
            const std::string stations[] = {"north"};
            for (int tries = 0; tries < 10'000 && !StationsToApply(db).empty(); ++tries)
                applied += static_cast<std::int64_t>(Apply(db, stations, limit).events);
        };
        std::thread one(worker, std::ref(first), 1 + round % 5);
        std::thread two(worker, std::ref(second), 2 + round % 3);
        one.join();
        two.join();
        ASSERT_EQ(applied, kEvents) << "round " << round;
    }
    EXPECT_EQ(Db().Exec("SELECT applied FROM stations").Integer(0, 0), kRounds * kEvents);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM alarms").Integer(0, 0), kRounds * kEvents / 3);
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM changes").Integer(0, 0), kRounds * kEvents / 3);
}

}  // namespace
}  // namespace fuel::hq::test
