// The shell: command lines read from standard input and run on one driver and one bus, so
// that a start, the fill and its data belong together; and the customer's own words (lift,
// hang up) and the bus's time (wait) besides the program's commands.
#include <algorithm>
#include <chrono>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Program.h"
#include "driver/Exceptions.h"

namespace fuel::cli {
namespace {

// Splits a shell line into words: blanks separate, double quotes group, '#' comments.
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char c : line) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        throw UsageError("unclosed quote");
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

int Worse(int a, int b) {
    // A usage error outranks a failure: it means the script itself is wrong.
    if (a == kExitUsage || b == kExitUsage) {
        return kExitUsage;
    }
    return std::max(a, b);
}

int RunShellLine(const std::vector<std::string>& words, CommandContext& context) {
    Session& session = context.session();
    const std::string& name = words[0];
    if (name == "wait") {
        if (words.size() != 2) {
            throw UsageError("wait needs SECONDS");
        }
        const double seconds = ParseQuantity(words[1], "seconds", 3600);
        session.Pass(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
        return kExitSuccess;
    }
    if (name == "lift" || name == "hangup") {
        const bool lift = name == "lift";
        if (words.size() != 3 && !(lift && words.size() == 4)) {
            throw UsageError(lift ? "lift needs DISPENSER NOZZLE [LITRES]"
                                  : "hangup needs DISPENSER NOZZLE");
        }
        const std::uint8_t dispenser = DispenserOperand(words[1]);
        const std::uint8_t nozzle = NozzleOperand(words[2]);
        if (lift) {
            const double preset =
                words.size() == 4 ? ParseQuantity(words[3], "the preset litres", 9999) : 0;
            session.LiftNozzle(dispenser, nozzle, preset);
        } else {
            session.HangUpNozzle(dispenser, nozzle);
        }
        return kExitSuccess;
    }
    if (const Command* command = FindCommand(name); command != nullptr && !command->inShell) {
        throw UsageError("'" + name + "' does not run inside the shell");
    }
    return RunCommandLine(words, context.in, context.out, context.err,
                          {.sharedSession = &session, .shellLine = true});
}

int RunShell(CommandContext& context) {
    Session& session = context.session();
    int status = kExitSuccess;
    std::string line;
    int lineNumber = 0;
    while (std::getline(context.in, line)) {
        ++lineNumber;
        try {
            const std::vector<std::string> words = SplitLine(line);
            if (words.empty()) {
                continue;
            }
            if (words[0] == "quit" || words[0] == "exit") {
                break;
            }
            context.out << "> " << line << "\n";
            status = Worse(status, RunShellLine(words, context));
        } catch (const UsageError& error) {
            context.err << "line " << lineNumber << ": " << error.what() << "\n";
            status = Worse(status, kExitUsage);
        } catch (const Exception& error) {
            context.err << "line " << lineNumber << ": " << error.Message() << " ("
                        << error.ClassName() << ")\n";
            status = Worse(status, kExitFailure);
        }
    }
    (void)session;
    return status;
}

}  // namespace

Command ShellCommand() {
    return {.name = "shell",
            .operands = "",
            .summary = "run commands read from standard input on one bus",
            .description =
                "Reads one command a line (the same words as on the command line, '#' starts a "
                "comment) and runs them all on one driver and one emulated bus, so that a "
                "start, the fill and its data belong together. The line options are given to "
                "the shell and hold for every line. Extra commands: 'wait SECONDS' lets bus "
                "time pass, 'lift DISPENSER NOZZLE [LITRES]' (with a dose keyed in at the pump) "
                "and 'hangup DISPENSER NOZZLE' act as the customer. The exit status is the "
                "worst of the commands'.",
            .options = WithLineOptions({}),
            .run = &RunShell,
            .inShell = false};
}

}  // namespace fuel::cli
