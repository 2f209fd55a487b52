// The forecourt in-process against the emulator: fills from authorisation to cleared sale,
// the refusals, prices, the emergency stop, restarts, and a fill nobody recorded.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "StationFixture.h"
#include "driver/TVM30.h"
#include "emulator/Memory.h"
#include "testing/LoopbackPort.h"

namespace fuel::forecourt::test {
namespace {

using State = FuelPointState;

class ForecourtTest : public Station {
  protected:
    void SetUp() override {
        StartForecourt();
        ASSERT_TRUE(EventuallyState(1, State::Idle));
        ASSERT_TRUE(EventuallyState(2, State::Idle));
    }
};

TEST_F(ForecourtTest, FillFromAuthorisationToClearedSale) {
    const Outcome authorised = Authorise(1, Preset::Volume(5), As("till-1"));
    ASSERT_TRUE(authorised.Ok()) << authorised.message;
    EXPECT_EQ(authorised.data["state"], "AUTHORISED");
    EXPECT_GT(authorised.data["fill"]["id"].get<SaleId>(), 0);

    Lift(1, 1);
    ASSERT_TRUE(EventuallySales(1, 1));
    const Sale sale = SalesOf(1).front();
    const emulator::NozzleView pump = Nozzle(1, 1);
    EXPECT_EQ(sale.state, FillState::Payable);
    EXPECT_EQ(sale.nozzle, 1);
    EXPECT_EQ(sale.grade, "95");
    EXPECT_DOUBLE_EQ(sale.price, 45.67);
    EXPECT_NEAR(sale.volume, 5.00, 1e-9);
    EXPECT_NEAR(sale.amount, pump.amount, 1e-9);
    EXPECT_NEAR(sale.amount, 228.35, 1e-9);
    EXPECT_NEAR(sale.totalBefore, 1000.00, 1e-9);
    EXPECT_NEAR(sale.totalAfter, 1005.00, 1e-9);
    EXPECT_EQ(sale.authorisedBy, "till-1");
    EXPECT_EQ(sale.id, authorised.data["fill"]["id"].get<SaleId>());
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    EXPECT_EQ(Point(1).unclearedSales, 1);

    const Outcome cleared = Run([&](Done d) { Court().ClearSale(sale.id, As("till-1"), d); });
    ASSERT_TRUE(cleared.Ok()) << cleared.message;
    EXPECT_EQ(cleared.data["state"], "CLEARED");
    EXPECT_EQ(cleared.data["clearedBy"], "till-1");
    EXPECT_EQ(Court().FindSale(sale.id)->state, FillState::Cleared);
    EXPECT_EQ(Point(1).unclearedSales, 0);

    // The fuel point's life in its events, in order; the sale's before the point is idle.
    std::vector<std::string> story;
    for (const Event& event : Events()) {
        if (event.type == event_type::kFuelPoint && event.data["id"] == 1) {
            story.push_back(event.data["state"].get<std::string>());
        } else if (event.type == event_type::kSale) {
            story.push_back("sale " + event.data["state"].get<std::string>());
        }
    }
    const std::vector<std::string> expected = {"AUTHORISED", "FUELLING", "sale PAYABLE", "IDLE",
                                               "sale CLEARED"};
    EXPECT_EQ(story, expected);
    // Every event the subscriber saw is in the journal under its number, in order.
    const std::vector<Event> seen = Events();
    const std::vector<Event> stored = Court().EventsAfter(seen.front().sequence - 1, 1000);
    ASSERT_GE(stored.size(), seen.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].sequence, stored[i].sequence);
        EXPECT_EQ(seen[i].data, stored[i].data);
    }
}

TEST_F(ForecourtTest, PreAuthorisedPointStartsWhenTheNozzleIsLifted) {
    ASSERT_TRUE(Authorise(1, Preset::Volume(2), As("till-1")).Ok());
    Cycles(3);
    EXPECT_EQ(StateOf(1), State::Authorised);
    EXPECT_EQ(Nozzle(1, 1).phase, emulator::NozzlePhase::Idle);  // nothing sent before the lift
    Lift(1, 2);
    ASSERT_TRUE(EventuallyState(1, State::Fuelling));
    EXPECT_EQ(Point(1).fill->nozzle, 2);
    EXPECT_EQ(Point(1).fill->grade, "92");
    ASSERT_TRUE(EventuallySales(1, 1));
    EXPECT_NEAR(SalesOf(1).front().volume, 2.0, 1e-9);
}

TEST_F(ForecourtTest, CallingPointStartsAtOnce) {
    Lift(1, 1);
    ASSERT_TRUE(EventuallyState(1, State::Calling));
    ASSERT_TRUE(Authorise(1, Preset::Volume(2), As("till-1")).Ok());
    // Started by the authorisation itself, not by a later poll.
    EXPECT_EQ(StateOf(1), State::Fuelling);
    ASSERT_TRUE(EventuallySales(1, 1));
}

TEST_F(ForecourtTest, MoneyPresetEndsOnItsAmount) {
    ASSERT_TRUE(Authorise(1, Preset::Money(100), As("till-1")).Ok());
    Lift(1, 1);
    ASSERT_TRUE(EventuallySales(1, 1));
    const Sale sale = SalesOf(1).front();
    EXPECT_NEAR(sale.amount, 100.00, 1e-9);
    EXPECT_NEAR(sale.volume, 100 / 45.67, 0.006);
    EXPECT_NEAR(sale.amount, Nozzle(1, 1).amount, 1e-9);
    EXPECT_EQ(sale.preset.kind, Preset::Kind::Money);
}

TEST_F(ForecourtTest, EmergencyStopDuringTwoFills) {
    ASSERT_TRUE(Authorise(1, Preset{}, As("till-1")).Ok());
    ASSERT_TRUE(Authorise(2, Preset{}, As("till-1")).Ok());
    Lift(1, 1);
    Lift(3, 2);
    ASSERT_TRUE(Eventually([&] {
        return Point(1).fill && Point(1).fill->volume > 1 && Point(2).fill &&
               Point(2).fill->volume > 1;
    }));
    const Outcome stopped = Run([&](Done d) { Court().EmergencyStop(As("office"), d); });
    ASSERT_TRUE(stopped.Ok()) << stopped.message;
    EXPECT_EQ(stopped.data["fuelPoints"], nlohmann::json({1, 2}));
    EXPECT_EQ(EventsOf(event_type::kEmergencyStop).size(), 1u);
    ASSERT_TRUE(EventuallySales(1, 1));
    ASSERT_TRUE(EventuallySales(2, 1));
    EXPECT_EQ(Nozzle(1, 1).phase, emulator::NozzlePhase::Stopped);
    EXPECT_EQ(Nozzle(3, 2).phase, emulator::NozzlePhase::Stopped);
    EXPECT_NEAR(SalesOf(1).front().volume, Nozzle(1, 1).volume, 0.005);
    EXPECT_NEAR(SalesOf(2).front().volume, Nozzle(3, 2).volume, 0.005);
}

TEST_F(ForecourtTest, ClosedPointIsRefusedUntilOpened) {
    ASSERT_TRUE(Run([&](Done d) { Court().Close(1, As("office"), d); }).Ok());
    EXPECT_EQ(StateOf(1), State::Closed);
    const Outcome refused = Authorise(1, Preset::Volume(2), As("till-1"));
    EXPECT_EQ(refused.status, Status::Refused);
    EXPECT_EQ(refused.reason, reason::kClosed);
    ASSERT_TRUE(Run([&](Done d) { Court().Open(1, As("office"), d); }).Ok());
    EXPECT_TRUE(Authorise(1, Preset::Volume(2), As("till-1")).Ok());
}

TEST_F(ForecourtTest, FullSaleBufferIsRefusedUntilASaleIsCleared) {
    Fill(1, 1, 1, Preset::Volume(1), As("till-1"));
    const Sale second = Fill(1, 1, 1, Preset::Volume(1), As("till-1"));
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    const Outcome refused = Authorise(1, Preset::Volume(1), As("till-1"));
    EXPECT_EQ(refused.status, Status::Refused);
    EXPECT_EQ(refused.reason, reason::kBufferFull);
    ASSERT_TRUE(Run([&](Done d) { Court().ClearSale(second.id, As("till-1"), d); }).Ok());
    EXPECT_TRUE(Authorise(1, Preset::Volume(1), As("till-1")).Ok());
}

TEST_F(ForecourtTest, RefusalsByState) {
    ASSERT_TRUE(Authorise(1, Preset::Volume(1), As("till-1")).Ok());
    const Outcome busy = Authorise(1, Preset::Volume(1), As("till-2"));
    EXPECT_EQ(busy.reason, reason::kBusy);
    EXPECT_EQ(StateOf(9), State::Offline);
    const Outcome offline = Authorise(9, Preset::Volume(1), As("till-1"));
    EXPECT_EQ(offline.reason, reason::kOffline);
    EXPECT_EQ(Authorise(42, Preset::Volume(1), As("till-1")).status, Status::NotFound);
    EXPECT_EQ(Authorise(2, Preset::Volume(-1), As("till-1")).status, Status::Invalid);
    EXPECT_EQ(Authorise(2, Preset::Volume(1), As("till-1"), {"98"}).status, Status::Invalid);
    EXPECT_EQ(Authorise(2, Preset::Volume(1), Caller{"till-1", ""}).reason, reason::kNoKey);
    EXPECT_EQ(Authorise(2, Preset::Volume(1), Caller{"", "k"}).reason, reason::kNoClient);
}

TEST_F(ForecourtTest, GradeRestrictionStartsOnlyAnAllowedNozzle) {
    ASSERT_TRUE(Authorise(1, Preset::Volume(1), As("till-1"), {"92"}).Ok());
    Lift(1, 1);
    Cycles(3);
    EXPECT_EQ(StateOf(1), State::Authorised);
    HangUp(1, 1);
    Lift(1, 2);
    ASSERT_TRUE(EventuallySales(1, 1));
    EXPECT_EQ(SalesOf(1).front().grade, "92");
}

TEST_F(ForecourtTest, PriceChangeReportsTheControllerThatDoesNotConfirm) {
    // Dispenser 3's first nozzle takes every price command as 11.11.
    const std::uint8_t wrongOne = emulator::NozzleAddress(false, 3, 1);
    Bus().With([&](emulator::Emulator&) {
        Bus().rewrite = [wrongOne](std::vector<std::uint8_t>& data) {
            if (data.size() == 6 && data[0] == wrongOne && data[1] == 'c') {
                std::fill(data.begin() + 2, data.end(), '1');
            }
        };
        return 0;
    });
    const Outcome outcome = Run([&](Done d) { Court().SetPrice("95", 46.10, As("office"), d); });
    EXPECT_EQ(outcome.status, Status::LineFailed);
    EXPECT_EQ(outcome.reason, reason::kNotConfirmed);
    EXPECT_NE(outcome.message.find("fuel point 2 nozzle 1"), std::string::npos) << outcome.message;
    EXPECT_EQ(outcome.message.find("fuel point 1"), std::string::npos) << outcome.message;
    int confirmed = 0;
    for (const auto& entry : outcome.data["nozzles"]) {
        confirmed += entry["confirmed"].get<bool>() ? 1 : 0;
    }
    EXPECT_EQ(confirmed, 2);  // fuel point 1 nozzle 1, fuel point 3 nozzle 1
    EXPECT_DOUBLE_EQ(Nozzle(1, 1).price, 46.10);
    EXPECT_DOUBLE_EQ(Point(1).nozzles[0].price, 46.10);
    EXPECT_DOUBLE_EQ(Point(2).nozzles[0].price, 45.67);  // the last price it confirmed
    EXPECT_DOUBLE_EQ(Court().GetSnapshot().grades[0].price, 46.10);
    EXPECT_EQ(EventsOf(event_type::kPrice).size(), 1u);
}

// A controller that dispenses on its own takes no price: the change says so for it, with or
// without a fill running there, and does not fail for it (only for fuel point 9, whose
// controller is not on the bus).
TEST_F(ForecourtTest, PriceChangeTellsAControllerThatTakesNoPriceEveryTime) {
    ASSERT_TRUE(EventuallyState(4, State::Idle));
    for (const bool fuelling : {false, true}) {
        SCOPED_TRACE(fuelling ? "during a fill" : "idle");
        if (fuelling) {
            Lift(7, 1);
            ASSERT_TRUE(EventuallyState(4, State::Fuelling));
        }
        const double price = fuelling ? 52.10 : 51.90;
        const Outcome outcome =
            Run([&](Done d) { Court().SetPrice("DT", price, As("office"), d); });
        EXPECT_EQ(outcome.reason, reason::kNotConfirmed);
        EXPECT_EQ(outcome.message,
                  "the new price of grade DT was not confirmed by fuel point 9 nozzle 1");
        ASSERT_EQ(outcome.data["nozzles"].size(), 2u);  // fuel points 4 and 9
        const auto& entry = outcome.data["nozzles"][0];
        EXPECT_EQ(entry["fuelPoint"], 4);
        EXPECT_TRUE(entry["takesNoPrice"].get<bool>());
        EXPECT_FALSE(entry["confirmed"].get<bool>());
    }
}

// A lifted nozzle of a controller on its own dispenses; the fill is a sale from the pump.
TEST_F(ForecourtTest, FillOfAControllerOnItsOwnIsASale) {
    ASSERT_TRUE(EventuallyState(4, State::Idle));
    Lift(7, 1);
    ASSERT_TRUE(Eventually([&] { return Point(4).fill && Point(4).fill->volume > 1; }));
    EXPECT_FALSE(Point(4).fill->authorised);
    HangUp(7, 1);
    ASSERT_TRUE(EventuallySales(4, 1));
    const emulator::NozzleView pump = Nozzle(7, 1);
    const Sale sale = SalesOf(4).front();
    EXPECT_EQ(sale.origin, Origin::Pump);
    EXPECT_NEAR(sale.volume, pump.volume, 0.005);
    EXPECT_DOUBLE_EQ(sale.price, 51.20);  // the grade's price: the controller keeps none of ours
    EXPECT_NEAR(sale.amount, std::round(sale.volume * 5120) / 100, 1e-9);
    EXPECT_NEAR(sale.totalAfter - sale.totalBefore, sale.volume, 0.011);
    EXPECT_EQ(sale.state, FillState::Payable);
    EXPECT_TRUE(EventsOf(event_type::kAlarm).empty());  // its fills start at the pump
    EXPECT_EQ(ToJson(Point(4))["release"], "pump");
}

// A price the controllers cannot hold as given is refused before any of them is touched.
TEST_F(ForecourtTest, PriceTheControllersCannotHoldIsRefused) {
    const Sequence before = Court().GetJournal().LastSequence();
    for (const double price : {0.004, 45.678, 1e-300, 100.0}) {
        const Outcome outcome =
            Run([&](Done d) { Court().SetPrice("95", price, As("office"), d); });
        EXPECT_EQ(outcome.status, Status::Invalid) << price;
        EXPECT_EQ(outcome.message.rfind("price: ", 0), 0u) << outcome.message;
    }
    EXPECT_DOUBLE_EQ(Court().GetSnapshot().grades[0].price, 45.67);
    EXPECT_DOUBLE_EQ(Nozzle(1, 1).price, 45.67);
    EXPECT_EQ(Court().GetJournal().LastSequence(), before);  // nothing was done or kept
}

TEST_F(ForecourtTest, PriceOfANozzleInAFillWaitsForItsEnd) {
    // No dose: the fill runs until the customer hangs up, however fast the bus's clock.
    ASSERT_TRUE(Authorise(1, Preset{}, As("till-1")).Ok());
    Lift(1, 1);
    ASSERT_TRUE(Eventually([&] { return Point(1).fill && Point(1).fill->volume > 0; }));
    const Outcome outcome = Run([&](Done d) { Court().SetPrice("95", 47.00, As("office"), d); });
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    bool deferred = false;
    for (const auto& entry : outcome.data["nozzles"]) {
        if (entry["fuelPoint"] == 1 && entry["nozzle"] == 1)
            deferred = entry["deferred"];
    }
    EXPECT_TRUE(deferred) << outcome.data.dump();
    HangUp(1, 1);
    ASSERT_TRUE(EventuallySales(1, 1));
    const Sale sale = SalesOf(1).front();
    EXPECT_DOUBLE_EQ(sale.price, 45.67);  // the fill ran at the old price
    EXPECT_NEAR(sale.amount, Nozzle(1, 1).amount, 1e-9);
    EXPECT_TRUE(Eventually([&] { return Nozzle(1, 1).price == 47.00; }));
}

TEST_F(ForecourtTest, SameIdempotencyKeyReturnsTheFirstOutcome) {
    const Caller caller{"till-1", "same-key"};
    const Outcome first = Authorise(1, Preset::Volume(1), caller);
    const Outcome again = Authorise(1, Preset::Volume(1), caller);
    ASSERT_TRUE(first.Ok());
    EXPECT_FALSE(first.replayed);
    EXPECT_TRUE(again.replayed);
    EXPECT_EQ(ToJson(again), ToJson(first));
    const Outcome other = Authorise(2, Preset::Volume(1), caller);
    EXPECT_EQ(other.reason, reason::kKeyReused);
    EXPECT_EQ(StateOf(2), State::Idle);
    const auto fills = Court().GetJournal().Read([](Connection& db) {
        Statement& count = db.Prepare("SELECT COUNT(*) FROM fills");
        count.Step();
        return count.Integer(0);
    });
    EXPECT_EQ(fills, 1);
}

TEST_F(ForecourtTest, LockByOneClientAndClearByAnotherIsRefused) {
    const Sale sale = Fill(1, 1, 1, Preset::Volume(1), As("till-1"));
    ASSERT_TRUE(Run([&](Done d) { Court().LockSale(sale.id, As("till-1"), d); }).Ok());
    const Outcome refused = Run([&](Done d) { Court().ClearSale(sale.id, As("till-2"), d); });
    EXPECT_EQ(refused.status, Status::Conflict);
    EXPECT_EQ(refused.reason, reason::kLockedByOther);
    EXPECT_NE(refused.message.find("till-1"), std::string::npos);
    EXPECT_EQ(Court().FindSale(sale.id)->state, FillState::Locked);
}

TEST_F(ForecourtTest, PrepaidSaleIsLockedToTheAuthoriser) {
    ASSERT_TRUE(Authorise(1, Preset::Money(20), As("till-7"), {}, true).Ok());
    Lift(1, 1);
    ASSERT_TRUE(EventuallySales(1, 1));
    EXPECT_EQ(SalesOf(1).front().state, FillState::Locked);
    EXPECT_EQ(SalesOf(1).front().lockedBy, "till-7");
}

TEST_F(ForecourtTest, StopBeforeTheLiftWithdrawsTheAuthorisation) {
    ASSERT_TRUE(Authorise(1, Preset::Volume(1), As("till-1")).Ok());
    const Outcome stopped = Run([&](Done d) { Court().Stop(1, As("till-1"), d); });
    ASSERT_TRUE(stopped.Ok()) << stopped.message;
    EXPECT_EQ(StateOf(1), State::Idle);
    const auto cancelled = EventsOf(event_type::kFillCancelled);
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0].data["reason"], "withdrawn");
    const Outcome nothing = Run([&](Done d) { Court().Stop(1, As("till-1"), d); });
    EXPECT_EQ(nothing.reason, reason::kNothingToStop);
}

TEST_F(ForecourtTest, NozzleHungUpWithoutFuelMakesNoSale) {
    ASSERT_TRUE(Authorise(3, Preset{}, As("till-1")).Ok());
    Lift(5, 1);
    // Fuelling as the forecourt shows it once the start is recorded; the pump runs once the
    // start is out.
    ASSERT_TRUE(Eventually([&] { return Nozzle(5, 1).phase == emulator::NozzlePhase::Running; }));
    HangUp(5, 1);
    ASSERT_TRUE(EventuallyState(3, State::Idle)) << ToJson(Point(3)).dump();
    EXPECT_TRUE(SalesOf(3).empty()) << ToJson(SalesOf(3).front()).dump();
    const auto cancelled = EventsOf(event_type::kFillCancelled);
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0].data["reason"], "no fuel taken");
}

// Another host starts nozzle 1 of dispenser 1 directly: a start frame on the bus.
void StartFromElsewhere(fuel::test::SharedBus& bus) {
    bus.With([](emulator::Emulator& emulated) {
        const std::uint8_t data[] = {emulator::NozzleAddress(false, 1, 1), 'u'};
        Frame frame;
        BuildFrame(frame, data);
        return emulated.Handle({frame.bytes.data(), frame.length}).length;
    });
}

TEST_F(ForecourtTest, FillStartedAtThePumpIsASaleWithAnAlarm) {
    const Time from = std::chrono::system_clock::now() - std::chrono::seconds(1);
    Lift(1, 1);
    StartFromElsewhere(Bus());
    ASSERT_TRUE(Eventually([&] { return Point(1).fill && Point(1).fill->volume > 3; }));
    const FuelPointView outside = Point(1);
    EXPECT_EQ(outside.state, State::Fuelling);
    EXPECT_FALSE(outside.fill->authorised);
    EXPECT_GT(outside.fill->id, 0);  // in the journal from the moment it was seen
    HangUp(1, 1);
    ASSERT_TRUE(EventuallySales(1, 1));
    const emulator::NozzleView pump = Nozzle(1, 1);
    const Sale sale = SalesOf(1).front();
    EXPECT_EQ(sale.id, outside.fill->id);
    EXPECT_EQ(sale.origin, Origin::Pump);
    EXPECT_EQ(sale.authorisedBy, "");
    EXPECT_EQ(sale.state, FillState::Payable);
    EXPECT_NEAR(sale.volume, pump.volume, 0.005);
    EXPECT_NEAR(sale.amount, pump.amount, 1e-9);
    EXPECT_FALSE(sale.amountComputed);
    EXPECT_NEAR(sale.totalAfter - sale.totalBefore, pump.volume, 0.011);
    EXPECT_EQ(ToJson(sale)["authorisedBy"], nullptr);
    EXPECT_EQ(ToJson(sale)["origin"], "pump");
    const auto alarms = EventsOf(event_type::kAlarm);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].data["kind"], alarm_kind::kUnauthorisedFill);
    EXPECT_EQ(alarms[0].data["fuelPoint"], 1);
    EXPECT_EQ(alarms[0].data["sale"], sale.id);

    // Every litre is in a sale: nothing for the reconciliation to find.
    ReconcileRequest request;
    request.from = from;
    request.fuelPoint = 1;
    const Outcome outcome = Run([&](Done d) { Court().Reconcile(request, d); });
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    SCOPED_TRACE(outcome.data.dump());
    EXPECT_NEAR(outcome.data["nozzles"][0]["difference"].get<double>(), 0, 0.011);
    EXPECT_TRUE(DiscrepanciesOf(1, 1, from).empty());
}

// The reconciliation until now reads every totaliser on the lines first; the long read of
// the journal after them must not run on the thread of the line that answered last.
TEST_F(ForecourtTest, ReconciliationIsNotComputedOnALinesThread) {
    std::thread::id line;
    ASSERT_TRUE(Run([&](Done d) {
                    Court().ReadTotals(1, [&line, d](Outcome outcome) {
                        line = std::this_thread::get_id();
                        d(std::move(outcome));
                    });
                }).Ok());
    std::thread::id reconciled;
    ReconcileRequest request;
    request.from = std::chrono::system_clock::now() - std::chrono::hours(1);
    ASSERT_TRUE(Run([&](Done d) {
                    Court().Reconcile(request, [&reconciled, d](Outcome outcome) {
                        reconciled = std::this_thread::get_id();
                        d(std::move(outcome));
                    });
                }).Ok());
    EXPECT_NE(reconciled, line);
}

// A controller replaced under the running forecourt, its totalisers starting afresh: one
// alarm with both readings, and a reconciliation that takes the new totals as its baseline
// rather than a negative difference.
TEST_F(ForecourtTest, ReplacedControllerRaisesOneTotaliserResetAlarm) {
    const Time from = std::chrono::system_clock::now() - std::chrono::seconds(1);
    Fill(1, 1, 1, Preset::Volume(2), As("till-1"));
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    Bus().With([](emulator::Emulator& bus) {
        std::vector<emulator::ControllerMemory> memory = bus.Remember(emulator::WallTime{});
        for (emulator::ControllerMemory& controller : memory) {
            if (controller.number != 1)
                continue;
            for (emulator::NozzleMemory& nozzle : controller.nozzles) {
                nozzle.totalBefore = 10;
                nozzle.volume = 0;
            }
        }
        bus.Restore(memory, emulator::WallTime{});
        return 0;
    });
    const Sale after = Fill(1, 1, 1, Preset::Volume(2), As("till-1"));
    EXPECT_NEAR(after.totalBefore, 10, 0.011);
    const auto alarms = EventsOf(event_type::kAlarm);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].data["kind"], alarm_kind::kTotaliserReset);
    EXPECT_EQ(alarms[0].data["nozzle"], 1);
    EXPECT_NEAR(alarms[0].data["before"].get<double>(), 1002, 0.011);
    EXPECT_NEAR(alarms[0].data["after"].get<double>(), 10, 0.011);

    ReconcileRequest request;
    request.from = from;
    request.fuelPoint = 1;
    const Outcome outcome = Run([&](Done d) { Court().Reconcile(request, d); });
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    SCOPED_TRACE(outcome.data.dump());
    const auto& nozzle = outcome.data["nozzles"][0];
    EXPECT_NEAR(nozzle["recorded"].get<double>(), 4.0, 1e-9);
    EXPECT_NEAR(nozzle["growth"].get<double>(), 4.0, 0.011);
    EXPECT_NEAR(nozzle["difference"].get<double>(), 0, 0.011);
    EXPECT_EQ(nozzle["resets"], 1);
    EXPECT_TRUE(DiscrepanciesOf(1, 1, from).empty());
}

TEST_F(ForecourtTest, SubscriberResumingFromASnapshotMissesNothing) {
    const Snapshot snapshot = Court().GetSnapshot();
    std::mutex mutex;
    std::vector<Sequence> seen;
    Subscription subscription = Court().Subscribe(
        snapshot.sequence,
        [&](const Event& event) {
            std::lock_guard lock(mutex);
            if (event.Journaled())
                seen.push_back(event.sequence);
        },
        false);
    Fill(1, 1, 1, Preset::Volume(1), As("till-1"));
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    const Sequence last = Court().GetJournal().LastSequence();
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard lock(mutex);
        return !seen.empty() && seen.back() == last;
    }));
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], snapshot.sequence + 1 + static_cast<Sequence>(i));
    }
}

// Restarts: the journal and the controllers settle what happened while nobody watched.
class RestartTest : public Station {};

TEST_F(RestartTest, FillThatEndedWhileDownBecomesASaleOnce) {
    StartForecourt();
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    ASSERT_TRUE(Authorise(1, Preset{}, As("till-1")).Ok());
    Lift(1, 2);
    ASSERT_TRUE(Eventually([&] { return Point(1).fill && Point(1).fill->volume > 1; }));
    StopForecourt();
    Bus().With([](emulator::Emulator& bus) {
        bus.Advance(std::chrono::seconds(3));
        bus.HangUpNozzle(1, 2);
        return 0;
    });
    const emulator::NozzleView pump = Nozzle(1, 2);
    StartForecourt();
    const std::vector<Sale> sales = SalesOf(1);
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_NEAR(sales[0].volume, pump.volume, 0.005);
    EXPECT_NEAR(sales[0].amount, pump.amount, 1e-9);
    EXPECT_NEAR(sales[0].totalAfter - sales[0].totalBefore, pump.volume, 0.011);
    EXPECT_EQ(sales[0].price, 48.17);
    EXPECT_EQ(StateOf(1), State::Idle);
    StopForecourt();
    StartForecourt();
    EXPECT_EQ(SalesOf(1).size(), 1u);
}

// A controller on its own shows the last fill's volume: one that ran while nobody watched,
// its totaliser grown by just that, is a sale from the pump, once.
TEST_F(RestartTest, FillOnItsOwnWhileDownBecomesASaleFromThePumpOnce) {
    StartForecourt();
    ASSERT_TRUE(EventuallyState(4, State::Idle));
    StopForecourt();
    Lift(7, 1);
    Bus().With([](emulator::Emulator& bus) {
        bus.Advance(std::chrono::seconds(3));
        bus.HangUpNozzle(7, 1);
        return 0;
    });
    const emulator::NozzleView pump = Nozzle(7, 1);
    ASSERT_GT(pump.volume, 0.5);
    StartForecourt();
    ASSERT_TRUE(EventuallySales(4, 1));
    const Sale sale = SalesOf(4).front();
    EXPECT_EQ(sale.origin, Origin::Pump);
    EXPECT_NEAR(sale.volume, pump.volume, 0.005);
    EXPECT_NEAR(sale.totalAfter - sale.totalBefore, sale.volume, 0.011);
    StopForecourt();
    StartForecourt();
    ASSERT_TRUE(EventuallyState(4, State::Idle));
    EXPECT_EQ(SalesOf(4).size(), 1u);
}

// A fill that ran and ended while nobody polled leaves only the totaliser's growth: the
// reconciliation finds it between the fills around it.
TEST_F(RestartTest, ReconciliationFindsAFillNobodySaw) {
    StartForecourt();
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    const Time from = std::chrono::system_clock::now() - std::chrono::seconds(1);
    const Sale before = Fill(1, 1, 1, Preset::Volume(2), As("till-1"));
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    StopForecourt();
    Lift(1, 1);
    StartFromElsewhere(Bus());
    Bus().With([](emulator::Emulator& bus) {
        bus.Advance(std::chrono::seconds(3));
        bus.HangUpNozzle(1, 1);
        return 0;
    });
    const double unrecorded = Nozzle(1, 1).volume;
    StartForecourt();
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    EXPECT_EQ(SalesOf(1).size(), 1u);
    const Sale after = Fill(1, 1, 1, Preset::Volume(2), As("till-1"));

    ReconcileRequest request;
    request.from = from;
    request.fuelPoint = 1;
    const Outcome outcome = Run([&](Done d) { Court().Reconcile(request, d); });
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    const auto& nozzle = outcome.data["nozzles"][0];
    SCOPED_TRACE(outcome.data.dump());
    EXPECT_EQ(nozzle["nozzle"], 1);
    EXPECT_NEAR(nozzle["recorded"].get<double>(), 4.0, 1e-9);
    EXPECT_NEAR(nozzle["difference"].get<double>(), unrecorded, 0.01);
    EXPECT_EQ(nozzle["sales"], 2);
    const nlohmann::json gaps = DiscrepanciesOf(1, 1, from);
    ASSERT_EQ(gaps.size(), 1u);
    const auto& gap = gaps[0];
    EXPECT_NEAR(gap["difference"].get<double>(), unrecorded, 0.01);
    EXPECT_EQ(gap["fillBefore"], before.id);
    EXPECT_EQ(gap["fillAfter"], after.id);
    EXPECT_TRUE(DiscrepanciesOf(1, 2, from).empty());
}

TEST_F(RestartTest, FillStillRunningIsFollowedToItsEnd) {
    StartForecourt();
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    ASSERT_TRUE(Authorise(1, Preset::Volume(20), As("till-1")).Ok());
    Lift(1, 1);
    ASSERT_TRUE(Eventually([&] { return Point(1).fill && Point(1).fill->volume > 1; }));
    StopForecourt();
    StartForecourt();
    EXPECT_EQ(StateOf(1), State::Fuelling);
    ASSERT_TRUE(EventuallySales(1, 1));
    EXPECT_NEAR(SalesOf(1).front().volume, 20.0, 1e-9);
}

TEST_F(RestartTest, AuthorisationSurvivesARestart) {
    StartForecourt();
    ASSERT_TRUE(EventuallyState(2, State::Idle));
    const Outcome authorised = Authorise(2, Preset::Volume(1), As("till-1"));
    ASSERT_TRUE(authorised.Ok());
    StopForecourt();
    StartForecourt();
    EXPECT_EQ(StateOf(2), State::Authorised);
    Lift(3, 1);
    ASSERT_TRUE(EventuallySales(2, 1));
    EXPECT_EQ(SalesOf(2).front().id, authorised.data["fill"]["id"].get<SaleId>());
}

TEST_F(RestartTest, SubscriptionMayOutliveItsForecourt) {
    StartForecourt();
    Subscription subscription = Court().Subscribe(std::nullopt, [](const Event&) {});
    StopForecourt();
    subscription.Cancel();  // the forecourt and its publisher are gone: nothing to touch
}

TEST_F(RestartTest, ClosedFlagAndPriceSurviveARestart) {
    StartForecourt();
    ASSERT_TRUE(EventuallyState(1, State::Idle));
    ASSERT_TRUE(Run([&](Done d) { Court().Close(1, As("office"), d); }).Ok());
    ASSERT_TRUE(Run([&](Done d) { Court().SetPrice("92", 49.99, As("office"), d); }).Ok());
    StopForecourt();
    StartForecourt();
    EXPECT_EQ(StateOf(1), State::Closed);
    EXPECT_DOUBLE_EQ(Court().GetSnapshot().grades[1].price, 49.99);
    EXPECT_DOUBLE_EQ(Point(2).nozzles[1].price, 49.99);
}

// A converter that is down refuses every connection at once: the loop rests between cycles
// instead of trying thousands of times a second, and a command is still answered at once.
TEST(DownLineTest, RefusingPortIsTriedAtARestingPace) {
    fuel::test::TemporaryDirectory directory;
    const std::string station =
        "[forecourt]\ndatabase = journal.db\n[line converter]\nport = "
        "tcp://127.0.0.1:" +
        std::to_string(fuel::test::PortNobodyListensOn()) +
        "\n[grade 95]\nname = Super 95\nprice = 45.67\n[fuel-point 1]\nline = "
        "converter\naddress = 1\nnozzles = 95\n";
    Forecourt court(ParseConfig(station, directory.Path() / "station.ini"));
    court.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(court.FuelPoint(1)->state, FuelPointState::Offline);
    const LineHealth health = court.Health().front();
    EXPECT_FALSE(health.up);
    EXPECT_GE(health.counters.exchanges, 1u);
    EXPECT_LE(health.counters.exchanges, 40u) << "cycles " << health.cycles;

    const auto asked = std::chrono::steady_clock::now();
    const Outcome outcome = Forecourt::Await([&](Done done) {
        court.Authorise(AuthoriseRequest{1, Preset{}, {}, false}, Caller{"till-1", "k"}, done);
    });
    EXPECT_FALSE(outcome.Ok());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(400));
}

}  // namespace
}  // namespace fuel::forecourt::test
