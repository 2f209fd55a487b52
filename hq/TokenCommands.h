// `fuel-hq token add|list|revoke`: the clients' tokens in the head office's database, which
// every worker reads. The database is migrated first, so that the commands work on a new one.
#pragma once

#include <ostream>

#include "hq/Options.h"

namespace fuel::hq {

// The invocation's token command; its exit status (0). Throws TokenError for a name taken or
// unknown, DatabaseError and ConfigError as they come.
int RunTokenCommand(const Invocation& invocation, std::ostream& out, std::ostream& err);

}  // namespace fuel::hq
