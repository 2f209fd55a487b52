// The forecourt's own tables, as forward migrations: version N is the SQL that takes a file
// from user_version N-1 to N. A released migration never changes; a new one is appended.
#pragma once

#include <string_view>
#include <vector>

namespace fuel::forecourt {

const std::vector<std::string_view>& ForecourtMigrations();

}  // namespace fuel::forecourt
