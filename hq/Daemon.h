// fuel-hq as a program: the command line, the token commands, and a worker run until
// SIGTERM or SIGINT. Returns the exit status: 0, 1 for a failure, 2 for a usage error.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace fuel::hq {

int RunDaemon(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

}  // namespace fuel::hq
