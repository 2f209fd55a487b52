// Who may do what at the station. Every client has one role: a token's holder at the API, a
// broker identity at the chain's MQTT bridge. Each thing a client may ask for needs one
// permission; the table in Roles.cpp says which roles hold which permission, and the API's
// router, its OpenAPI document, the manual page and the bridge's command check all take it
// from there.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::forecourt {

enum class Role { Viewer, Pos, Backoffice, Technician };
inline constexpr Role kRoles[] = {Role::Viewer, Role::Pos, Role::Backoffice, Role::Technician};

// "viewer", "pos", "backoffice", "technician".
std::string_view Name(Role role);
std::optional<Role> RoleFromName(std::string_view name);
// "viewer, pos, backoffice or technician"
std::string RoleNames();
// What the role may do, in a few words (for --help).
std::string_view Description(Role role);

enum class Permission {
    Public,         // no client at all: the health check, the API's document, the console's files
    Read,           // the forecourt, sales, totals, events, metrics
    Sell,           // authorise, stop a fill, lock, unlock and clear sales
    EmergencyStop,  // stop every fill at once
    Close,          // block and unblock a fuel point
    Price,          // change a grade's price
};

inline constexpr Permission kPermissions[] = {Permission::Read, Permission::Sell,
                                              Permission::EmergencyStop, Permission::Close,
                                              Permission::Price};
// "read", "sell", "emergency-stop", "close", "price" ("public" for Public): what a client
// is told it may do (GET /api/v1/client), so that a console offers only what it may.
std::string_view Name(Permission permission);

bool Allows(Role role, Permission permission);
// What the role may do, in kPermissions' order.
std::vector<Permission> PermissionsOf(Role role);
// The roles that hold the permission, in kRoles' order (every role for Public).
std::vector<Role> RolesWith(Permission permission);

}  // namespace fuel::forecourt
