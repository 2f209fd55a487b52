#include "hq/Roles.h"

namespace fuel::hq {

const std::vector<RoleInfo>& Roles() {
    static const std::vector<RoleInfo> roles = {
        {"hq-viewer", "reads stations, sales, reports, alarms and the change stream", {kRead}},
        {"hq-pricing", "also acknowledges alarms, and makes and cancels price campaigns",
         {kRead, kAcknowledge, kPrice}},
        {"hq-admin", "everything: also approves held campaigns and sets the price bounds",
         {kRead, kAcknowledge, kPrice, kApprove, kSetBounds}},
    };
    return roles;
}

bool IsRole(std::string_view name) {
    for (const RoleInfo& role : Roles()) {
        if (role.name == name)
            return true;
    }
    return false;
}

std::string RoleNames() {
    std::string names;
    const auto& roles = Roles();
    for (std::size_t i = 0; i < roles.size(); ++i) {
        if (i > 0)
            names += i + 1 == roles.size() ? " or " : ", ";
        names += roles[i].name;
    }
    return names;
}

const http::AccessTable& HqAccess() {
    static const http::AccessTable table = [] {
        std::vector<http::RoleGrant> grants;
        for (const RoleInfo& role : Roles()) {
            http::RoleGrant grant{std::string(role.name), {}};
            for (const std::string_view permission : role.permissions)
                grant.permissions.emplace_back(permission);
            grants.push_back(std::move(grant));
        }
        return http::AccessTable(std::move(grants));
    }();
    return table;
}

}  // namespace fuel::hq
