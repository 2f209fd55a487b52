// The lists' pages: ?limit= and ?cursor=, and the next page's link. A cursor is the last
// row's key as JSON, in hex: opaque to clients, safe in a URL, and read back only as the
// values it must hold.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "http/Routes.h"

namespace fuel::hq {

// The call's limit parameter, 100 without one.
std::size_t LimitOf(const http::Call& call);
std::string EncodeCursor(const nlohmann::json& key);
std::optional<nlohmann::json> DecodeCursor(const std::string& cursor);
// The request's own path with its query, the cursor replaced.
std::string NextLink(const http::Call& call, const std::string& cursor);

}  // namespace fuel::hq
