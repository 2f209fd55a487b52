// The campaigns' rules on a real PostgreSQL: the bounds a price breaks, what a campaign is
// refused for and where it goes, and its outcomes through sending, replies, approval,
// supersession and cancellation, with two connections sharing what is due.
#include "hq/Campaigns.h"

#include <gtest/gtest.h>

#include <thread>

#include "hq/Schema.h"
#include "tests/hq/StoreFixture.h"

namespace fuel::hq::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

CampaignRequest Request(std::string grade, double price, std::vector<std::string> stations = {},
                        std::vector<std::string> groups = {}) {
    CampaignRequest request;
    request.grade = std::move(grade);
    request.price = price;
    request.stations = std::move(stations);
    request.groups = std::move(groups);
    return request;
}

struct BrokenCase {
    const char* what;
    Limits limits;
    double price;
    std::map<std::string, std::optional<double>> current;
    std::vector<std::string> broken;  // "bound" or "bound@station"
};

TEST(BoundsTest, WhatAPriceBreaks) {
    const Limits all{1.40, 1.60, 0.10};
    const BrokenCase cases[] = {
        {"inside", all, 1.50, {{"a", 1.45}}, {}},
        {"at the lowest and the highest", all, 1.40, {}, {}},
        {"at the highest", all, 1.60, {}, {}},
        {"a change of exactly the largest (binary fractions)", all, 1.10 + 0.4, {{"a", 1.40}}, {}},
        {"below", all, 1.39, {}, {"lowest"}},
        {"above", all, 1.61, {}, {"highest"}},
        {"too far at one station only",
         all,
         1.55,
         {{"a", 1.50}, {"b", 1.44}, {"c", std::nullopt}},
         {"largest-change@b"}},
        {"every bound at once", all, 1.20, {{"a", 1.50}}, {"lowest", "largest-change@a"}},
        {"no bounds", {}, 99.99, {{"a", 0.01}}, {}},
    };
    for (const BrokenCase& c : cases) {
        std::vector<std::string> broken;
        for (const BrokenBound& b : BrokenBounds("95", c.limits, c.price, c.current)) {
            broken.push_back(b.bound + (b.station ? "@" + *b.station : ""));
            EXPECT_NE(b.message.find("grade 95"), std::string::npos) << b.message;
        }
        EXPECT_EQ(broken, c.broken) << c.what;
    }
    // A grade's own keys over every grade's.
    ConfiguredBounds configured;
    configured.grades["*"] = {1.00, 2.00, 0.10};
    configured.grades["95"] = {std::nullopt, 2.50, std::nullopt};
    EXPECT_EQ(configured.For("95"), (Limits{1.00, 2.50, 0.10}));
    EXPECT_EQ(configured.For("92"), (Limits{1.00, 2.00, 0.10}));
    EXPECT_TRUE(LimitsProblem({2.0, 1.0, std::nullopt}));
    EXPECT_TRUE(LimitsProblem({std::nullopt, std::nullopt, 0.0}));
    EXPECT_FALSE(LimitsProblem({1.0, 1.0, std::nullopt}));
}

class CampaignTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (IsSkipped())
            return;
        Migrate(Db());
        // n1 sells 95 (1.48 by its price event, 1.50 in its older info), n2 95 and 98, s3 92.
        Db().Script(R"sql(
INSERT INTO stations (id, groups, status, info) VALUES
 ('n1', '{north}', 'online', '{"grades": [{"code": "95", "price": 1.50}]}'),
 ('n2', '{north}', 'offline', '{"grades": [{"code": "95", "price": 1.50}, {"code": "98"}]}'),
 ('s3', '{south}', 'online', '{"grades": [{"code": "92", "price": 1.30}]}');
INSERT INTO prices (station, grade, price, sequence, at) VALUES ('n1', '95', 1.48, 1, now());
)sql");
        bounds_.grades["95"] = {1.40, 1.60, 0.05};
    }

    std::int64_t Make(const CampaignRequest& request, const std::string& who = "alice",
                      const std::string& key = "") {
        const auto made = CreateCampaign(Db(), bounds_, request, who, key);
        if (const auto* refused = std::get_if<CampaignRefusal>(&made)) {
            ADD_FAILURE() << refused->code << ": " << refused->message;
            return 0;
        }
        return std::get<std::int64_t>(made);
    }
    json Campaign(std::int64_t id) { return CampaignJson(Db(), id, true); }
    // "station:state" of each outcome, by station.
    std::vector<std::string> Outcomes(std::int64_t id) {
        std::vector<std::string> out;
        const json campaign = Campaign(id);
        for (const json& o : campaign["outcomes"])
            out.push_back(o["station"].get<std::string>() + ":" + o["state"].get<std::string>());
        return out;
    }
    std::vector<std::string> Sent(std::chrono::milliseconds resend = 60s) {
        std::vector<std::string> sent;
        for (const PriceToSend& send : DuePrices(Db(), resend).sends)
            sent.push_back(send.station + ":" + send.id);
        return sent;
    }
    bool Reply(const std::string& station, std::int64_t campaign, const std::string& status,
               const std::string& reason = "", const std::string& from = "hq") {
        json reply = {{"id", "campaign-" + std::to_string(campaign)},
                      {"command", "price"},
                      {"from", from},
                      {"status", status}};
        if (!reason.empty())
            reply["reason"] = reason;
        return RecordPriceReply(Db(), station, "hq", reply);
    }

    ConfiguredBounds bounds_;
};

struct PlanCase {
    const char* what;
    CampaignRequest request;
    const char* refusal;               // the code; nullptr when planned
    std::vector<std::string> targets;  // when planned
    std::vector<std::string> held;     // "bound" or "bound@station"
};

TEST_F(CampaignTest, PlansRefuseOrHoldByTheRules) {
    const PlanCase cases[] = {
        {"a price the controllers cannot hold",
         Request("95", 1.505, {"n1"}),
         refusal::kPriceStep,
         {},
         {}},
        {"above what they hold", Request("95", 100.00, {"n1"}), refusal::kPriceStep, {}, {}},
        {"no target", Request("95", 1.50), refusal::kNoTargets, {}, {}},
        {"a group nobody is in", Request("95", 1.50, {}, {"east"}), refusal::kNoTargets, {}, {}},
        {"a station never heard of",
         Request("95", 1.50, {"n1", "zz"}),
         refusal::kUnknownStation,
         {},
         {}},
        {"a grade no target sells",
         Request("99", 1.50, {}, {"north"}),
         refusal::kUnknownGrade,
         {},
         {}},
        {"a group's stations that sell the grade, and a named one that does not",
         Request("95", 1.50, {"s3"}, {"north"}),
         nullptr,
         {"n1", "n2", "s3"},
         {}},
        {"a group's stations only where they sell it",
         Request("98", 1.50, {}, {"north", "south"}),
         nullptr,
         {"n2"},
         {}},
        {"too far from the price event's 1.48, not the info's 1.50",
         Request("95", 1.54, {}, {"north"}),
         nullptr,
         {"n1", "n2"},
         {"largest-change@n1"}},
        {"below the lowest and too far everywhere",
         Request("95", 1.30, {}, {"north"}),
         nullptr,
         {"n1", "n2"},
         {"lowest", "largest-change@n1", "largest-change@n2"}},
    };
    for (const PlanCase& c : cases) {
        const auto planned = PlanCampaign(Db(), bounds_, c.request);
        if (c.refusal) {
            const auto* refused = std::get_if<CampaignRefusal>(&planned);
            ASSERT_NE(refused, nullptr) << c.what;
            EXPECT_EQ(refused->code, c.refusal) << c.what << ": " << refused->message;
            continue;
        }
        const auto* plan = std::get_if<CampaignPlan>(&planned);
        ASSERT_NE(plan, nullptr) << c.what << ": " << std::get<CampaignRefusal>(planned).message;
        EXPECT_EQ(plan->targets, c.targets) << c.what;
        std::vector<std::string> held;
        for (const BrokenBound& b : plan->held)
            held.push_back(b.bound + (b.station ? "@" + *b.station : ""));
        EXPECT_EQ(held, c.held) << c.what;
    }
    // An administrator's bounds replace the configuration's for the grade, whole.
    SetBounds(Db(), bounds_, "95", {std::nullopt, 1.51, std::nullopt}, "bob");
    const auto planned = PlanCampaign(Db(), bounds_, Request("95", 1.30, {}, {"north"}));
    ASSERT_TRUE(std::holds_alternative<CampaignPlan>(planned));
    EXPECT_TRUE(std::get<CampaignPlan>(planned).held.empty());
    EXPECT_EQ(std::get<CampaignPlan>(planned).bounds.source, "admin");
}

TEST_F(CampaignTest, OutcomesFollowSendsAndReplies) {
    const std::int64_t id = Make(Request("95", 1.52, {}, {"north"}));
    EXPECT_EQ(Campaign(id)["state"], "sending");
    // Sent where online, unreachable where not; with no time to wait, sent again at once.
    EXPECT_EQ(Sent(0ms), std::vector<std::string>{"n1:campaign-" + std::to_string(id)});
    EXPECT_EQ(Outcomes(id), (std::vector<std::string>{"n1:pending", "n2:unreachable"}));
    EXPECT_EQ(Sent(60s), std::vector<std::string>{"n1:campaign-" + std::to_string(id)});
    EXPECT_EQ(Campaign(id)["outcomes"][0]["attempts"], 2);
    EXPECT_TRUE(Sent().empty()) << "not again before the resend time";
    EXPECT_FALSE(Reply("n1", id, "ok", "", "till-1")) << "another sender's command of that id";
    EXPECT_TRUE(Reply("n1", id, "ok"));
    EXPECT_FALSE(Reply("n1", id, "ok")) << "a repeated reply changes nothing";
    EXPECT_FALSE(Reply("n1", id, "line-failed")) << "nor does a later different one";
    EXPECT_FALSE(Reply("s3", id, "ok")) << "a station that is no target";
    // Back online: sent, and its failure kept with the station's reason.
    Db().Exec("UPDATE stations SET status = 'online' WHERE id = 'n2'");
    EXPECT_EQ(Sent(), std::vector<std::string>{"n2:campaign-" + std::to_string(id)});
    EXPECT_TRUE(Reply("n2", id, "line-failed", "price-not-confirmed"));
    const json campaign = Campaign(id);
    EXPECT_EQ(campaign["state"], "done");
    EXPECT_EQ(campaign["outcomes"][1]["reason"], "price-not-confirmed");
    EXPECT_EQ(campaign["counts"], (json{{"pending", 0},
                                        {"applied", 1},
                                        {"failed", 1},
                                        {"unreachable", 0},
                                        {"superseded", 0},
                                        {"cancelled", 0}}));
    EXPECT_EQ(CancelCampaign(Db(), id, "alice"), Cancelling::Finished);
    const Result changes =
        Db().Exec("SELECT count(*) FROM changes WHERE kind = 'campaign' AND data ->> 'id' = $1",
                  {std::to_string(id)});
    EXPECT_GE(changes.Integer(0, 0), 6) << "made, sent, unreachable, sent, two replies";
}

TEST_F(CampaignTest, HeldApprovedSupersededCancelledAndScheduled) {
    const std::int64_t first = Make(Request("95", 1.50, {"n1"}));
    EXPECT_EQ(Sent().size(), 1u);
    // Held above the highest: not sent, never approved by its author.
    const std::int64_t held = Make(Request("95", 1.62, {"n1"}));
    EXPECT_EQ(Campaign(held)["state"], "held");
    EXPECT_EQ(Campaign(held)["held"][0]["bound"], "highest");
    EXPECT_TRUE(Sent(0ms).empty());
    EXPECT_EQ(ApproveCampaign(Db(), held, "alice"), Approval::OwnCampaign);
    EXPECT_EQ(ApproveCampaign(Db(), first, "bob"), Approval::NotHeld);
    EXPECT_EQ(ApproveCampaign(Db(), 999, "bob"), Approval::NoSuchCampaign);
    EXPECT_EQ(ApproveCampaign(Db(), held, "bob"), Approval::Approved);
    EXPECT_EQ(ApproveCampaign(Db(), held, "carol"), Approval::NotHeld);
    // Sent: the earlier campaign's unanswered outcome there is superseded.
    EXPECT_EQ(Sent(), std::vector<std::string>{"n1:campaign-" + std::to_string(held)});
    EXPECT_EQ(Outcomes(first), std::vector<std::string>{"n1:superseded"});
    // Cancelled while unanswered; the station's late "ok" is still what it did.
    EXPECT_EQ(CancelCampaign(Db(), held, "alice"), Cancelling::Cancelled);
    EXPECT_EQ(Campaign(held)["state"], "cancelled");
    EXPECT_TRUE(Sent(0ms).empty());
    EXPECT_TRUE(Reply("n1", held, "ok"));
    EXPECT_EQ(Outcomes(held), std::vector<std::string>{"n1:applied"});
    // Later: not due before its time.
    CampaignRequest later = Request("92", 1.31, {"s3"});
    later.at = std::chrono::system_clock::now() + 1h;
    const std::int64_t scheduled = Make(later);
    EXPECT_EQ(Campaign(scheduled)["state"], "scheduled");
    EXPECT_TRUE(Sent().empty());
    Db().Exec("UPDATE campaigns SET at = now() - interval '1 second' WHERE id = $1", {scheduled});
    EXPECT_EQ(Sent(), std::vector<std::string>{"s3:campaign-" + std::to_string(scheduled)});
    // The same request key makes no second campaign, nor passes for another request's.
    EXPECT_EQ(Make(Request("92", 1.32, {"s3"}), "alice", "k1"),
              Make(Request("92", 1.32, {"s3"}), "alice", "k1"));
    const auto reused = CreateCampaign(Db(), bounds_, Request("92", 1.33, {"s3"}), "alice", "k1");
    ASSERT_TRUE(std::holds_alternative<CampaignRefusal>(reused));
    EXPECT_EQ(std::get<CampaignRefusal>(reused).code, refusal::kKeyReused);
    EXPECT_NE(Make(Request("92", 1.33, {"s3"}), "bob", "k1"), 0) << "the key is its author's";
}

TEST_F(CampaignTest, NeitherAnotherWorkersOutcomeNorAnAbsentStationsHoldsBackTheRest) {
    const std::int64_t id = Make(Request("95", 1.50, {"n1"}));
    const std::int64_t other = Make(Request("92", 1.30, {"s3"}));
    {
        Connection second(Url());
        Transaction holding(second);
        second.Exec("SELECT 1 FROM campaign_outcomes WHERE campaign = $1 FOR UPDATE", {id});
        // Not waited for: the other worker's row is its own.
        EXPECT_EQ(Sent(), std::vector<std::string>{"s3:campaign-" + std::to_string(other)});
    }
    // One at a time, newest first: the offline station's outcome, once unreachable, no longer
    // takes the place of the older one that can go.
    const std::int64_t away = Make(Request("98", 1.60, {"n2"}));
    EXPECT_TRUE(DuePrices(Db(), 60s, 1).sends.empty());
    EXPECT_EQ(Outcomes(away), std::vector<std::string>{"n2:unreachable"});
    const auto next = DuePrices(Db(), 60s, 1).sends;
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].id, "campaign-" + std::to_string(id));
}

}  // namespace
}  // namespace fuel::hq::test
