// The table of roles as the pipeline and the document read it.
#include "http/Access.h"

#include <gtest/gtest.h>

namespace fuel::http {
namespace {

const AccessTable& Table() {
    static const AccessTable table({{"hq-viewer", {"read"}},
                                    {"hq-pricing", {"read", "price"}},
                                    {"hq-admin", {"admin", "read"}}});
    return table;
}

TEST(AccessTest, AllowsWhatARoleHoldsAndNothingElse) {
    struct Case {
        const char* role;
        std::string_view permission;
        bool allowed;
    };
    const Case cases[] = {
        {"hq-viewer", "read", true},     {"hq-viewer", "price", false},
        {"hq-pricing", "price", true},   {"hq-admin", "price", false},
        {"hq-admin", "admin", true},     {"hq-viewer", kPublic, true},
        {"nobody", kPublic, false},      {"nobody", "read", false},
        {"hq-viewer", "", false},        {"HQ-VIEWER", "read", false},
        {"hq-pricing", "prices", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Table().Allows(c.role, c.permission), c.allowed) << c.role << " " << c.permission;
    }
}

TEST(AccessTest, NamesTheRolesWithAPermissionInTheTablesOrder) {
    EXPECT_EQ(Table().RolesWith("read"),
              (std::vector<std::string>{"hq-viewer", "hq-pricing", "hq-admin"}));
    EXPECT_EQ(Table().RolesWith("price"), (std::vector<std::string>{"hq-pricing"}));
    EXPECT_EQ(Table().RolesWith(kPublic).size(), Table().RoleCount());
    EXPECT_TRUE(Table().RolesWith("unknown").empty());
}

}  // namespace
}  // namespace fuel::http
