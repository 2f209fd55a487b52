#include "http/Access.h"

#include <algorithm>

namespace fuel::http {

AccessTable::AccessTable(std::vector<RoleGrant> roles) : roles_(std::move(roles)) {}

bool AccessTable::Allows(std::string_view role, std::string_view permission) const {
    for (const RoleGrant& grant : roles_) {
        if (grant.role != role)
            continue;
        return permission == kPublic ||
               std::find(grant.permissions.begin(), grant.permissions.end(), permission) !=
                   grant.permissions.end();
    }
    return false;
}

std::vector<std::string> AccessTable::RolesWith(std::string_view permission) const {
    std::vector<std::string> roles;
    for (const RoleGrant& grant : roles_) {
        if (Allows(grant.role, permission))
            roles.push_back(grant.role);
    }
    return roles;
}

}  // namespace fuel::http
