// Who may do what: the station's one list of roles and permissions (forecourt/Roles.h), which
// the bridge to the chain's broker shares, named here as the server's own, and given to the
// HTTP stack as its table of roles.
#pragma once

#include "forecourt/Roles.h"
#include "http/Access.h"

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

// Each role by its name with the names of its permissions, in kRoles' order: what the
// pipeline's 403 and the OpenAPI document's roles are made from.
const http::AccessTable& ForecourtAccess();

}  // namespace fuel::server
