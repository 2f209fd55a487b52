// The command-line program as a function, so that tests can run it without a process.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace fuel::cli {

class Session;

inline constexpr std::string_view kProgram = "fuelctl";

// Exit statuses: success, the dispenser or the line failed, the command line was wrong.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// words: the arguments after the program name. Commands read in from stdin (shell).
int RunProgram(std::span<const std::string> words, std::istream& in, std::ostream& out,
               std::ostream& err);

// Where a command line runs.
struct Surroundings {
    // A session the command line shares with others (a shell's), else null: its own.
    Session* sharedSession = nullptr;
    // A line of a shell: the line options hold for the whole shell, and the output is text.
    bool shellLine = false;
    // The command line asked for JSON, so failures are told in JSON on out as well.
    bool json = false;
};

// One command line: problems are reported on err with the command's name, and the exit
// status says what they were.
int RunCommandLine(std::span<const std::string> words, std::istream& in, std::ostream& out,
                   std::ostream& err, const Surroundings& surroundings);

}  // namespace fuel::cli
