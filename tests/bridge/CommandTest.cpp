#include "bridge/Command.h"

#include <gtest/gtest.h>

#include "bridge/Topics.h"

namespace fuel::bridge {
namespace {

const Identities kIdentities = {{"hq", Role::Backoffice},
                                {"till", Role::Pos},
                                {"screen", Role::Viewer},
                                {"tech", Role::Technician}};

constexpr std::string_view kGood = R"({"id":"c1","grade":"95","price":46.1})";

TEST(CommandTest, FromAStationOrAGroupTopic) {
    for (const std::string& topic :
         {StationCommandTopic("north-17", "hq"), GroupCommandTopic("south", "hq")}) {
        const auto read = ReadPriceCommand(topic, kGood, kIdentities);
        ASSERT_TRUE(std::holds_alternative<PriceCommand>(read)) << topic;
        const auto& command = std::get<PriceCommand>(read);
        EXPECT_EQ(command.id, "c1");
        EXPECT_EQ(command.identity, "hq");
        EXPECT_EQ(command.grade, "95");
        EXPECT_DOUBLE_EQ(command.price, 46.1);
    }
}

struct Refusal {
    const char* what;
    std::string topic;
    std::string payload;
    std::optional<std::string> id;  // what the reply carries
    std::string status;
    std::string reason;
};

class CommandRefusedTest : public testing::TestWithParam<Refusal> {};

TEST_P(CommandRefusedTest, RepliesWithTheReason) {
    const Refusal& refusal = GetParam();
    const auto read = ReadPriceCommand(refusal.topic, refusal.payload, kIdentities);
    ASSERT_TRUE(std::holds_alternative<Reply>(read)) << refusal.what;
    const Reply& reply = std::get<Reply>(read);
    EXPECT_EQ(reply.id, refusal.id) << refusal.what;
    EXPECT_EQ(reply.status, refusal.status) << refusal.what;
    EXPECT_EQ(reply.reason, refusal.reason) << refusal.what;
    EXPECT_FALSE(reply.message.empty()) << refusal.what;
}

const std::string kHq = StationCommandTopic("s", "hq");
const std::string kId = "c1";

INSTANTIATE_TEST_SUITE_P(
    Table, CommandRefusedTest,
    testing::Values(
        Refusal{"no identity level", "stations/s/commands/price", std::string(kGood), kId,
                "invalid", "bad-request"},
        Refusal{"not JSON", kHq, "price 46", std::nullopt, "invalid", "bad-request"},
        Refusal{"not an object", kHq, "[1,2]", std::nullopt, "invalid", "bad-request"},
        Refusal{"no id", kHq, R"({"grade":"95","price":46.1})", std::nullopt, "invalid",
                "bad-request"},
        Refusal{"id a number", kHq, R"({"id":7,"grade":"95","price":46.1})", std::nullopt,
                "invalid", "bad-request"},
        Refusal{"empty id", kHq, R"({"id":"","grade":"95","price":46.1})", std::nullopt, "invalid",
                "bad-request"},
        Refusal{"id too long", kHq,
                R"({"id":")" + std::string(kMaxCommandId + 1, 'x') + R"(","grade":"95","price":1})",
                std::nullopt, "invalid", "bad-request"},
        Refusal{"too large", kHq, std::string(kGood) + std::string(kMaxCommandBytes, ' '),
                std::nullopt, "invalid", "bad-request"},
        Refusal{"no grade", kHq, R"({"id":"c1","price":46.1})", kId, "invalid", "bad-request"},
        Refusal{"grade a number", kHq, R"({"id":"c1","grade":95,"price":46.1})", kId, "invalid",
                "bad-request"},
        Refusal{"no price", kHq, R"({"id":"c1","grade":"95"})", kId, "invalid", "bad-request"},
        Refusal{"price a string", kHq, R"({"id":"c1","grade":"95","price":"46.1"})", kId, "invalid",
                "bad-request"},
        Refusal{"price zero", kHq, R"({"id":"c1","grade":"95","price":0})", kId, "invalid",
                "bad-request"},
        Refusal{"price negative", kHq, R"({"id":"c1","grade":"95","price":-1})", kId, "invalid",
                "bad-request"},
        Refusal{"pos", StationCommandTopic("s", "till"), std::string(kGood), kId, "forbidden",
                "role-may-not-set-prices"},
        Refusal{"viewer", StationCommandTopic("s", "screen"), std::string(kGood), kId, "forbidden",
                "role-may-not-set-prices"},
        Refusal{"technician", GroupCommandTopic("g", "tech"), std::string(kGood), kId, "forbidden",
                "role-may-not-set-prices"},
        Refusal{"stranger", StationCommandTopic("s", "mallory"), std::string(kGood), kId,
                "forbidden", "unknown-identity"}),
    [](const testing::TestParamInfo<Refusal>& info) {
        std::string name = info.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return name;
    });

}  // namespace
}  // namespace fuel::bridge
