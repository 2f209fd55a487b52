// The sale rules (lock, unlock, clear by one client or another) and the idempotency keys, on
// the journal's tables directly.
#include <gtest/gtest.h>

#include "forecourt/Journal.h"
#include "forecourt/Requests.h"
#include "forecourt/Store.h"
#include "testing/TestFiles.h"

namespace fuel::forecourt {
namespace {

enum class Start { Payable, LockedByA, ClearedByA };

struct SaleCase {
    const char* what;
    Start start;
    const char* client;
    SaleOperation operation;
    Status status;
    std::string_view reason;
    FillState after;
    const char* lockedBy;   // after
    const char* clearedBy;  // after
};

class SaleRulesTest : public ::testing::TestWithParam<SaleCase> {
  protected:
    SaleRulesTest() : db_(directory_.Path() / "journal.db", Connection::Mode::ReadWrite) {
        Journal migrate(directory_.Path() / "journal.db");
    }
    // A sale of 10 litres on fuel point 1, in the given state.
    SaleId MakeSale(Start start) {
        const Time at = std::chrono::system_clock::now();
        const SaleId id = InsertAuthorised(db_, 1, Preset::Volume(10), {}, false, "A", at);
        MarkStarted(db_, id, 1, "95", 45.67, 1000, at);
        MarkEnded(db_, id, {10, 456.70, false, 1010, std::nullopt}, at);
        if (start == Start::LockedByA)
            ChangeSale(db_, id, SaleOperation::Lock, "A", at);
        if (start == Start::ClearedByA)
            ChangeSale(db_, id, SaleOperation::Clear, "A", at);
        return id;
    }
    Connection& Db() { return db_; }

  private:
    fuel::test::TemporaryDirectory directory_;
    Connection db_;
};

TEST_P(SaleRulesTest, Applies) {
    const SaleCase& c = GetParam();
    const SaleId id = MakeSale(c.start);
    const Sale before = *ReadSale(Db(), id);
    const SaleChange change =
        ChangeSale(Db(), id, c.operation, c.client, std::chrono::system_clock::now());
    EXPECT_EQ(change.outcome.status, c.status);
    EXPECT_EQ(change.outcome.reason, c.reason);
    const Sale after = *ReadSale(Db(), id);
    EXPECT_EQ(after.state, c.after);
    EXPECT_EQ(after.lockedBy, c.lockedBy);
    EXPECT_EQ(after.clearedBy, c.clearedBy);
    EXPECT_EQ(change.changed, before.state != after.state);
    // Whatever the answer, it carries the sale as it now is (who holds it, who cleared it).
    EXPECT_EQ(change.outcome.data["state"], Name(after.state));
    if (c.start == Start::ClearedByA) {
        EXPECT_EQ(after.clearedAt, before.clearedAt) << "a cleared sale keeps its first clear";
        EXPECT_EQ(change.outcome.data["clearedAt"], FormatTime(*before.clearedAt));
    }
}

constexpr auto kLock = SaleOperation::Lock;
constexpr auto kUnlock = SaleOperation::Unlock;
constexpr auto kClear = SaleOperation::Clear;
constexpr auto kPayable = FillState::Payable;
constexpr auto kLocked = FillState::Locked;
constexpr auto kCleared = FillState::Cleared;

INSTANTIATE_TEST_SUITE_P(
    Rules, SaleRulesTest,
    ::testing::Values(
        SaleCase{"LockPayable", Start::Payable, "A", kLock, Status::Ok, "", kLocked, "A", ""},
        SaleCase{"LockOwnLockAgain", Start::LockedByA, "A", kLock, Status::Ok, "", kLocked, "A",
                 ""},
        SaleCase{"LockOthersLock", Start::LockedByA, "B", kLock, Status::Conflict,
                 reason::kLockedByOther, kLocked, "A", ""},
        SaleCase{"ClearOthersLock", Start::LockedByA, "B", kClear, Status::Conflict,
                 reason::kLockedByOther, kLocked, "A", ""},
        SaleCase{"ClearOwnLock", Start::LockedByA, "A", kClear, Status::Ok, "", kCleared, "A", "A"},
        SaleCase{"ClearPayable", Start::Payable, "B", kClear, Status::Ok, "", kCleared, "", "B"},
        SaleCase{"ClearOwnClearAgain", Start::ClearedByA, "A", kClear, Status::Ok, "", kCleared, "",
                 "A"},
        SaleCase{"ClearOthersClear", Start::ClearedByA, "B", kClear, Status::Conflict,
                 reason::kClearedByOther, kCleared, "", "A"},
        SaleCase{"UnlockPayable", Start::Payable, "A", kUnlock, Status::Conflict,
                 reason::kNotLocked, kPayable, "", ""},
        SaleCase{"UnlockOthersLock", Start::LockedByA, "B", kUnlock, Status::Conflict,
                 reason::kLockedByOther, kLocked, "A", ""},
        SaleCase{"UnlockOwnLock", Start::LockedByA, "A", kUnlock, Status::Ok, "", kPayable, "", ""},
        SaleCase{"LockCleared", Start::ClearedByA, "A", kLock, Status::Conflict,
                 reason::kAlreadyCleared, kCleared, "", "A"},
        SaleCase{"UnlockCleared", Start::ClearedByA, "B", kUnlock, Status::Conflict,
                 reason::kAlreadyCleared, kCleared, "", "A"}),
    [](const ::testing::TestParamInfo<SaleCase>& info) { return std::string(info.param.what); });

TEST_F(SaleRulesTest, OtherClearSaysWhoAndWhen) {
    const SaleId id = MakeSale(Start::ClearedByA);
    const SaleChange change = ChangeSale(Db(), id, kClear, "B", std::chrono::system_clock::now());
    const Sale sale = *ReadSale(Db(), id);
    EXPECT_NE(change.outcome.message.find("cleared by A at " + FormatTime(*sale.clearedAt)),
              std::string::npos)
        << change.outcome.message;
}

TEST_F(SaleRulesTest, OnlySalesAreFound) {
    const Time at = std::chrono::system_clock::now();
    const SaleId authorised = InsertAuthorised(Db(), 1, Preset{}, {}, false, "A", at);
    EXPECT_EQ(ChangeSale(Db(), authorised, kClear, "A", at).outcome.reason, reason::kNoSale);
    EXPECT_EQ(ChangeSale(Db(), 999, kLock, "A", at).outcome.status, Status::NotFound);
    EXPECT_FALSE(ReadSale(Db(), authorised).has_value());
    // A fill that is not there cannot end as a sale: the job fails whole.
    EXPECT_THROW(MarkEnded(Db(), 999, {1, 45.67, false, 1001, std::nullopt}, at), DatabaseError);
}

// Text that is not UTF-8 (a name from a file in another encoding) is kept with U+FFFD where
// it breaks, and never fails the change it goes with.
TEST_F(SaleRulesTest, TextThatIsNotUtf8IsKeptReplaced) {
    const Time at = std::chrono::system_clock::now();
    const std::string cp1251 = "\xc4\xe8\xe7\xe5\xeb\xfc";  // "Дизель" in Windows-1251
    const RequestRecord record{{"till-1", "k"}, {{"operation", "price"}, {"grade", "DT"}}};
    EXPECT_NO_THROW(Remember(Db(), record, Outcome::Success({{"grade", {{"name", cp1251}}}}), at));
    const auto recalled = Recall(Db(), record);
    ASSERT_TRUE(recalled.has_value());
    EXPECT_EQ(recalled->data["grade"]["name"], "\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd");
    EXPECT_NO_THROW(InsertAuthorised(Db(), 1, Preset{}, {cp1251}, false, "A", at));
}

TEST_F(SaleRulesTest, PrepaidFillEndsLockedToItsAuthoriser) {
    const Time at = std::chrono::system_clock::now();
    const SaleId id = InsertAuthorised(Db(), 1, Preset::Money(20), {}, true, "till-7", at);
    MarkStarted(Db(), id, 1, "95", 45.67, 1000, at);
    const Sale sale = MarkEnded(Db(), id, {0.44, 20, false, 1000.44, std::nullopt}, at);
    EXPECT_EQ(sale.state, FillState::Locked);
    EXPECT_EQ(sale.lockedBy, "till-7");
    EXPECT_EQ(UnclearedSales(Db(), 1), 1);
}

// The journal names a preset's kind in one column and reads it back into the same preset.
TEST_F(SaleRulesTest, EveryPresetKindComesBackFromTheJournal) {
    const Time at = std::chrono::system_clock::now();
    for (const Preset& preset : {Preset{}, Preset::Volume(10), Preset::Money(20)}) {
        const SaleId id = InsertAuthorised(Db(), 1, preset, {}, false, "A", at);
        MarkStarted(Db(), id, 1, "95", 45.67, 1000, at);
        MarkEnded(Db(), id, {0.44, 20, false, 1000.44, std::nullopt}, at);
        const auto sale = ReadSale(Db(), id);
        ASSERT_TRUE(sale.has_value()) << PresetKindName(preset.kind);
        EXPECT_EQ(sale->preset.kind, preset.kind) << PresetKindName(preset.kind);
        EXPECT_EQ(sale->preset.value, preset.value) << PresetKindName(preset.kind);
    }
}

TEST_F(SaleRulesTest, IdempotencyKeys) {
    const Time at = std::chrono::system_clock::now();
    const RequestRecord clear{{"till-1", "k1"}, {{"operation", "clear"}, {"sale", 1}}};
    EXPECT_FALSE(Recall(Db(), clear).has_value());
    Remember(Db(), clear, Outcome::Success({{"id", 1}}), at);
    const auto again = Recall(Db(), clear);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(again->replayed);
    EXPECT_EQ(again->data["id"], 1);

    const RequestRecord other{{"till-1", "k1"}, {{"operation", "clear"}, {"sale", 2}}};
    EXPECT_EQ(Recall(Db(), other)->reason, reason::kKeyReused);
    const RequestRecord sameKeyOtherClient{{"till-2", "k1"}, {{"operation", "clear"}, {"sale", 2}}};
    EXPECT_FALSE(Recall(Db(), sameKeyOtherClient).has_value());

    const RequestRecord stop{{"till-1", "k2"}, {{"operation", "stop"}, {"fuelPoint", 1}}};
    Reserve(Db(), stop, at);
    EXPECT_EQ(Recall(Db(), stop)->reason, reason::kInProgress);
    DropUnfinished(Db());  // as at the next start, after a crash in the middle
    EXPECT_FALSE(Recall(Db(), stop).has_value());
    EXPECT_TRUE(Recall(Db(), clear).has_value());

    EXPECT_EQ(CheckCaller({"", "k"})->reason, reason::kNoClient);
    EXPECT_EQ(CheckCaller({"till-1", ""})->reason, reason::kNoKey);
    EXPECT_FALSE(CheckCaller({"till-1", "k"}).has_value());
}

}  // namespace
}  // namespace fuel::forecourt
