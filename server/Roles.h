// Who may do what: the station's one list of roles and permissions (forecourt/Roles.h), which
// the bridge to the chain's broker shares, named here as the server's own.
#pragma once

#include "forecourt/Roles.h"

namespace fuel::server {

using forecourt::Allows;
using forecourt::Description;
using forecourt::kPermissions;
using forecourt::kRoles;
using forecourt::Name;
using forecourt::Permission;
using forecourt::PermissionsOf;
using forecourt::Role;
using forecourt::RoleFromName;
using forecourt::RoleNames;
using forecourt::RolesWith;

}  // namespace fuel::server
