// The command-line program as a function, so that tests can run it without a process.
#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace fuel::cli {

// Exit statuses: success, the dispenser or the line failed, the command line was wrong.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// words: the arguments after the program name. Commands read in from stdin (shell).
int RunProgram(std::span<const std::string> words, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace fuel::cli
