// Who may send what: each route needs one permission, each principal (a token's holder) has
// one role, and the daemon's table of roles says which permissions each role holds. The
// library knows no role and no permission by name but kPublic: the forecourt's table is
// forecourt/Roles.h, the head office has its own. The router's 403, the OpenAPI document's
// "Roles that may send it" and its x-roles are all made from the one table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::http {

// A route anyone may send, without a token (the health check, the document, a console's files).
inline constexpr std::string_view kPublic = "public";

// Whose request it is: the name and role its token stands for.
struct Principal {
    std::string name;
    std::string role;
};

struct RoleGrant {
    std::string role;
    std::vector<std::string> permissions;
};

class AccessTable {
  public:
    // In the order the document lists the roles in.
    explicit AccessTable(std::vector<RoleGrant> roles);

    // kPublic is every role's; a role the table does not know holds nothing.
    bool Allows(std::string_view role, std::string_view permission) const;
    // The roles that hold the permission, in the table's order (every role for kPublic).
    std::vector<std::string> RolesWith(std::string_view permission) const;
    std::size_t RoleCount() const { return roles_.size(); }

  private:
    std::vector<RoleGrant> roles_;
};

}  // namespace fuel::http
