// Who may do what at the head office: the one list of its roles and their permissions. The
// API's router (its 403s), its OpenAPI document, `fuel-hq token add --role`, the help text
// and the manual page all take the roles from here.
//
// Acknowledging an alarm says that a person has looked at it and it needs no one else: the
// viewer only reads (a wall screen, a report's reader), so it is the pricing staff's (the
// station's own alarms are mostly about prices a pump did not confirm) and the
// administrator's.
//
// A price campaign goes to the pumps of many stations at once: the pricing staff make and
// cancel them; one outside the grade's bounds waits for an administrator other than its
// author, and only administrators set the bounds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/Access.h"

namespace fuel::hq {

// The permissions a route may need (besides http::kPublic).
inline constexpr std::string_view kRead = "read";                // stations, sales, reports ...
inline constexpr std::string_view kAcknowledge = "acknowledge";  // an alarm
inline constexpr std::string_view kPrice = "price";        // make, check and cancel campaigns
inline constexpr std::string_view kApprove = "approve";    // a campaign held by its bounds
inline constexpr std::string_view kSetBounds = "bounds";   // a grade's price bounds

struct RoleInfo {
    std::string_view name;
    std::string_view description;  // for --help
    std::vector<std::string_view> permissions;
};

// hq-viewer, hq-pricing, hq-admin, in that order.
const std::vector<RoleInfo>& Roles();
bool IsRole(std::string_view name);
// "hq-viewer, hq-pricing or hq-admin"
std::string RoleNames();
// The roles as the HTTP stack's table.
const http::AccessTable& HqAccess();

}  // namespace fuel::hq
