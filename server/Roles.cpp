#include "server/Roles.h"

namespace fuel::server {

const http::AccessTable& ForecourtAccess() {
    static const http::AccessTable table = [] {
        std::vector<http::RoleGrant> grants;
        for (const Role role : kRoles) {
            http::RoleGrant grant{std::string(Name(role)), {}};
            for (const Permission permission : PermissionsOf(role))
                grant.permissions.emplace_back(Name(permission));
            grants.push_back(std::move(grant));
        }
        return http::AccessTable(std::move(grants));
    }();
    return table;
}

}  // namespace fuel::server
