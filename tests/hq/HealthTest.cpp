#include "hq/Health.h"

#include <gtest/gtest.h>

#include <string>

#include "StoreFixture.h"
#include "hq/Changes.h"
#include "hq/Intake.h"
#include "hq/Schema.h"
#include "testing/StationJournal.h"

namespace fuel::hq::test {
namespace {

class HealthTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (!IsSkipped())
            Migrate(Db());
    }
    // A station as its row would stand: status, how long ago it changed, how long ago the
    // last event came (negative: never).
    void Station(const std::string& id, const std::string& status, int statusAgo, int eventAgo) {
        Db().Exec(
            "INSERT INTO stations (id, status, status_since, last_event_at) VALUES "
            "($1, $2, now() - make_interval(secs => $3::int), "
            "CASE WHEN $4::int >= 0 THEN now() - make_interval(secs => $4::int) END) "
            "ON CONFLICT (id) DO UPDATE SET status = excluded.status, "
            "status_since = excluded.status_since, last_event_at = excluded.last_event_at",
            {id, status, statusAgo, eventAgo});
    }
    std::string Open(const std::string& id) {
        const Result open = Db().Exec(
            "SELECT coalesce(string_agg(kind, ',' ORDER BY kind), '') FROM alarms "
            "WHERE station = $1 AND cleared_at IS NULL",
            {id});
        return std::string(open.Text(0, 0));
    }
    const HealthPolicy policy_{std::chrono::seconds(600), std::chrono::seconds(300)};
};

TEST_F(HealthTest, StationAlarmsAreRaisedOnceAndClearedWhenTheCauseEnds) {
    const struct {
        const char* name;
        const char* status;
        int statusAgo, eventAgo;
        const char* open;  // the station's open alarms afterwards
    } steps[] = {
        {"online, events flowing", "online", 3600, 10, ""},
        {"online, silent too long", "online", 3600, 601, "station-silent"},
        {"still silent: raised once", "online", 3600, 700, "station-silent"},
        {"an event came", "online", 3600, 1, ""},
        {"online without any event, just now", "online", 10, -1, ""},
        {"online without any event, long", "online", 601, -1, "station-silent"},
        {"offline, not long", "offline", 10, 900, ""},
        {"offline too long", "offline", 301, 900, "station-offline"},
        {"back online", "online", 1, 900, ""},
        {"unknown station status", "unknown", 9999, 9999, ""},
    };
    int raised = 0, cleared = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        Station("north", step.status, step.statusAgo, step.eventAgo);
        const HealthReport report = CheckHealth(Db(), policy_);
        raised += report.raised;
        cleared += report.cleared;
        EXPECT_EQ(Open("north"), step.open);
    }
    EXPECT_EQ(raised, 3);
    EXPECT_EQ(cleared, 3);
    // Each raise and each clear is a change for the live stream, numbered without a hole.
    const std::vector<StoredChange> changes = ChangesAfter(Db(), 0, 100);
    ASSERT_EQ(changes.size(), 6u);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        EXPECT_EQ(changes[i].id, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(changes[i].kind, change_kind::kAlarm);
        EXPECT_EQ(changes[i].data["station"], "north");
    }
    EXPECT_TRUE(changes[1].data["clearedAt"].is_string());  // the silence's end
    EXPECT_EQ(ChangesAfter(Db(), 4, 100).size(), 2u);
}

TEST_F(HealthTest, WorkersCheckingAtOnceRaiseOnce) {
    for (int i = 0; i < 20; ++i)
        Station("station-" + std::to_string(i), "offline", 1000, -1);
    Connection other(Url());
    std::thread second([&] { CheckHealth(other, policy_); });
    CheckHealth(Db(), policy_);
    second.join();
    EXPECT_EQ(Db().Exec("SELECT count(*) FROM alarms").Integer(0, 0), 20);
}

TEST_F(HealthTest, AcknowledgedOnceByTheFirstUser) {
    Station("north", "offline", 1000, -1);
    CheckHealth(Db(), policy_);
    const std::int64_t alarm = Db().Exec("SELECT id FROM alarms").Integer(0, 0);
    const struct {
        std::int64_t alarm;
        const char* user;
        Acknowledged outcome;
    } cases[] = {
        {alarm, "anna", Acknowledged::Now},
        {alarm, "boris", Acknowledged::Already},
        {alarm + 100, "anna", Acknowledged::NoSuchAlarm},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Acknowledge(Db(), c.alarm, c.user), c.outcome) << c.user;
    EXPECT_EQ(Db().Exec("SELECT acknowledged_by FROM alarms").Text(0, 0), "anna");
    const std::vector<StoredChange> changes = ChangesAfter(Db(), 0, 10);
    ASSERT_EQ(changes.size(), 2u);  // raised, acknowledged
    EXPECT_EQ(changes[1].data["acknowledgedBy"], "anna");
}

}  // namespace
}  // namespace fuel::hq::test
