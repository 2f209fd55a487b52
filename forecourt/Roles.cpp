#include "forecourt/Roles.h"

#include <array>

namespace fuel::forecourt {
namespace {

constexpr unsigned Bit(Permission permission) {
    return 1u << static_cast<unsigned>(permission);
}

struct RoleInfo {
    Role role;
    std::string_view name;
    unsigned permissions;  // Bit(...) | ...
    std::string_view description;
};

// A viewer reads; a till (pos) sells; the back office also closes fuel points and sets
// prices; a technician reads and may take a fuel point out of service to work on it. Anyone
// who stands at the forecourt for the station may stop every pump at once.
constexpr std::array<RoleInfo, 4> kTable = {{
    {Role::Viewer, "viewer", Bit(Permission::Read), "reads the forecourt, sales and events"},
    {Role::Pos, "pos",
     Bit(Permission::Read) | Bit(Permission::Sell) | Bit(Permission::EmergencyStop),
     "also authorises and stops fills, handles sales, stops every pump"},
    {Role::Backoffice, "backoffice",
     Bit(Permission::Read) | Bit(Permission::Sell) | Bit(Permission::EmergencyStop) |
         Bit(Permission::Close) | Bit(Permission::Price),
     "what pos does, and closes fuel points and sets prices"},
    {Role::Technician, "technician",
     Bit(Permission::Read) | Bit(Permission::EmergencyStop) | Bit(Permission::Close),
     "reads, closes fuel points to work on them, stops every pump"},
}};

const RoleInfo& Info(Role role) {
    for (const RoleInfo& info : kTable) {
        if (info.role == role)
            return info;
    }
    return kTable[0];
}

}  // namespace

std::string_view Name(Role role) {
    return Info(role).name;
}

std::string RoleNames() {
    std::string names;
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == kTable.size() ? " or " : ", ");
        names += kTable[i].name;
    }
    return names;
}

std::string_view Description(Role role) {
    return Info(role).description;
}

std::optional<Role> RoleFromName(std::string_view name) {
    for (const RoleInfo& info : kTable) {
        if (info.name == name)
            return info.role;
    }
    return std::nullopt;
}

std::string_view Name(Permission permission) {
    switch (permission) {
        case Permission::Public:
            return "public";
        case Permission::Read:
            return "read";
        case Permission::Sell:
            return "sell";
        case Permission::EmergencyStop:
            return "emergency-stop";
        case Permission::Close:
            return "close";
        case Permission::Price:
            return "price";
    }
    return "public";
}

std::vector<Permission> PermissionsOf(Role role) {
    std::vector<Permission> permissions;
    for (const Permission permission : kPermissions) {
        if (Allows(role, permission))
            permissions.push_back(permission);
    }
    return permissions;
}

bool Allows(Role role, Permission permission) {
    return permission == Permission::Public || (Info(role).permissions & Bit(permission)) != 0;
}

std::vector<Role> RolesWith(Permission permission) {
    std::vector<Role> roles;
    for (const Role role : kRoles) {
        if (Allows(role, permission))
            roles.push_back(role);
    }
    return roles;
}

}  // namespace fuel::forecourt
