// The station's one list of roles: what each may do, as the API's router and the bridge's
// command check both read it, and the names a configuration or a command line gives.
#include <gtest/gtest.h>

#include "forecourt/Roles.h"

namespace fuel::forecourt {
namespace {

struct RoleCase {
    Role role;
    std::string_view name;
    bool read, sell, emergencyStop, close, price;
};

void PrintTo(const RoleCase& c, std::ostream* os) {
    *os << c.name;
}

class RoleTableTest : public testing::TestWithParam<RoleCase> {};

TEST_P(RoleTableTest, HoldsWhatTheRoleMayDoAndNothingElse) {
    const RoleCase& c = GetParam();
    EXPECT_EQ(Name(c.role), c.name);
    EXPECT_EQ(RoleFromName(c.name), c.role);
    EXPECT_TRUE(Allows(c.role, Permission::Public));
    EXPECT_EQ(Allows(c.role, Permission::Read), c.read);
    EXPECT_EQ(Allows(c.role, Permission::Sell), c.sell);
    EXPECT_EQ(Allows(c.role, Permission::EmergencyStop), c.emergencyStop);
    EXPECT_EQ(Allows(c.role, Permission::Close), c.close);
    EXPECT_EQ(Allows(c.role, Permission::Price), c.price);
}

// A viewer reads; a till sells; the back office also closes fuel points and sets prices; a
// technician takes a fuel point out of service. Anyone at the forecourt may stop every pump.
INSTANTIATE_TEST_SUITE_P(
    Roles, RoleTableTest,
    testing::Values(RoleCase{Role::Viewer, "viewer", true, false, false, false, false},
                    RoleCase{Role::Pos, "pos", true, true, true, false, false},
                    RoleCase{Role::Backoffice, "backoffice", true, true, true, true, true},
                    RoleCase{Role::Technician, "technician", true, false, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RoleNamesTest, UnknownNamesAreNoRoleAndTheListNamesEveryRole) {
    for (const std::string_view name : {"admin", "", "Pos", "pos ", "backoffice\n"})
        EXPECT_FALSE(RoleFromName(name).has_value()) << '"' << name << '"';
    EXPECT_EQ(RoleNames(), "viewer, pos, backoffice or technician");
    EXPECT_EQ(RolesWith(Permission::Price), std::vector<Role>{Role::Backoffice});
}

}  // namespace
}  // namespace fuel::forecourt
