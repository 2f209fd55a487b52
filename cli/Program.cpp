// Dispatch: a command line to the entry of the command table it names, its options checked
// against those the entry takes and read once, the entry run, and what went wrong reported
// with the exit status it deserves.
#include "cli/Program.h"

#include <iostream>
#include <memory>
#include <optional>

#include "cli/Commands.h"
#include "cli/Help.h"
#include "cli/Json.h"
#include "driver/Exceptions.h"
#include "driver/Version.h"

namespace fuel::cli {
namespace {

// A silent dispenser fails with the message of whatever the driver tried first (often the
// mode read: "cannot read the parameter"); when the bus has no such dispenser, say so.
std::string AbsentDispenserHint(const Command& command, const ParsedArguments& arguments,
                                Session* session) {
    if (session == nullptr || !command.operands.starts_with("DISPENSER") ||
        arguments.Operands().empty()) {
        return "";
    }
    const int dispenser = DispenserOperand(arguments.Operands()[0]);
    if (session->NozzleCount(dispenser) > 0) {
        return "";
    }
    return "the bus configuration has no dispenser " + std::to_string(dispenser) +
           "; 'fuelctl info' lists the dispensers";
}

// A failure for the person (err: the message with the command's name) and, when the command
// line asked for JSON, for the script too: the same as one document on out.
struct Reporter {
    std::ostream& out;
    std::ostream& err;
    bool json;

    int operator()(int status, const ErrorReport& error, const std::string& text) const {
        err << text;
        if (json) {
            out << ToJson(error) << "\n";
        }
        return status;
    }
};

// "read and write", "add-controller, add-parameter, edit and delete".
std::string SubcommandNames(const Command& command) {
    std::string names;
    for (std::size_t i = 0; i < command.subcommands.size(); ++i) {
        if (i > 0) {
            names += i + 1 == command.subcommands.size() ? " and " : ", ";
        }
        names += command.subcommands[i].name;
    }
    return names;
}

std::vector<OptionDefinition> EveryOption() {
    std::vector<OptionDefinition> options;
    for (const ProgramOption& option : AllOptions()) {
        options.push_back(option.definition);
    }
    return options;
}

// An option the command does not take: the program knows it, so say whom it is for.
void Refuse(const Command& command, const std::string& path, std::string_view option) {
    if (option == "json") {
        throw UsageError("'" + path + "' " + std::string(command.withoutJson) +
                         ", so it takes no --json");
    }
    if (FindProgramOption(option) != nullptr) {
        throw UsageError("--" + std::string(option) + " does not apply to '" + path + "'");
    }
}

// The entry of the table that the words name, and the words left for it.
struct Target {
    const Command* command = nullptr;
    const Command* parent = nullptr;
    std::string path;  // "cell read"
    std::vector<std::string> words;
};

Target Resolve(const Command& command, std::span<const std::string> words) {
    Target target{&command, nullptr, std::string(command.name), {words.begin(), words.end()}};
    if (command.subcommands.empty()) {
        return target;
    }
    // The subcommand is the first operand; options may stand before it.
    const ParsedArguments scan = ParseArguments(target.words, EveryOption());
    if (const auto at = scan.FirstOperandAt()) {
        const std::string word = target.words[*at];
        const Command* subcommand = FindSubcommand(command, word);
        if (subcommand == nullptr) {
            throw UsageError("'" + target.path + " " + word + "': the subcommands are " +
                             SubcommandNames(command));
        }
        target.command = subcommand;
        target.parent = &command;
        target.path += " " + word;
        target.words.erase(target.words.begin() + static_cast<std::ptrdiff_t>(*at));
    }
    return target;
}

}  // namespace

int RunCommandLine(std::span<const std::string> words, std::istream& in, std::ostream& out,
                   std::ostream& err, const Surroundings& surroundings) {
    if (words.empty()) {
        PrintProgramHelp(err);
        return kExitUsage;
    }
    const std::string& name = words[0];
    if (name == "--help" || name == "-h") {
        PrintProgramHelp(out);
        return kExitSuccess;
    }
    if (name == "--version") {
        out << kProgram << " " << kVersion << "\n";
        return kExitSuccess;
    }
    Session* const sharedSession = surroundings.sharedSession;
    const Reporter report{out, err, surroundings.json};
    // What the messages name: the command, then the subcommand once it is known.
    std::string path;
    const auto where = [&] { return std::string(kProgram) + (path.empty() ? "" : " " + path); };
    std::string hint;
    const Command* command = FindCommand(name);
    try {
        if (command == nullptr) {
            throw UsageError("no command '" + name + "'");
        }
        path = command->name;
        const Target target = Resolve(*command, words.subspan(1));
        path = target.path;
        const Command& entry = *target.command;
        const ParsedArguments arguments =
            ParseArguments(target.words, OptionsOf(entry),
                           [&](std::string_view option) { Refuse(entry, path, option); });
        if (arguments.Has("help")) {
            PrintCommandHelp(out, entry, target.parent);
            return kExitSuccess;
        }
        if (entry.run == nullptr) {
            throw UsageError("'" + path + "' needs a subcommand: " + SubcommandNames(entry));
        }
        const std::size_t count = arguments.Operands().size();
        if (count < entry.minOperands || count > entry.maxOperands) {
            throw UsageError(
                std::string(count < entry.minOperands ? "missing operands" : "too many operands") +
                ": " + std::string(kProgram) + " " + path +
                (entry.operands.empty() ? "" : " " + std::string(entry.operands)));
        }
        if (surroundings.shellLine) {
            for (const auto& [option, value] : arguments.AllGiven()) {
                if (IsLineOption(option)) {
                    throw UsageError("--" + option +
                                     " holds for the whole shell: give it to 'shell'");
                }
            }
            if (arguments.Has("json")) {
                throw UsageError("--json is for a single command: a shell's output is text");
            }
        }
        const ProgramOptions options = ReadOptions(arguments);

        std::unique_ptr<Session> ownSession;
        CommandContext context{options, options.session, arguments, in, out, err, {}};
        context.json = options.json;
        // With JSON on out, the trace and the counters go to err: out holds the document alone.
        std::ostream& notes = context.json ? err : out;
        context.session = [&]() -> Session& {
            if (sharedSession != nullptr) {
                return *sharedSession;
            }
            if (!ownSession) {
                ownSession = std::make_unique<Session>(context.sessionOptions, notes);
            }
            return *ownSession;
        };
        const auto printStats = [&] {
            if (ownSession && options.stats) {
                ownSession->PrintStats(notes);
            }
        };
        int status = kExitSuccess;
        try {
            status = entry.run(context);
        } catch (const Exception&) {
            Session* used = sharedSession != nullptr ? sharedSession : ownSession.get();
            hint = AbsentDispenserHint(entry, arguments, used);
            printStats();
            throw;
        } catch (...) {
            printStats();
            throw;
        }
        printStats();
        return status;
    } catch (const UsageError& error) {
        return report(kExitUsage, {"UsageError", error.what(), ""},
                      where() + ": " + error.what() + "\nTry '" + where() + " --help'.\n");
    } catch (const emulator::ConfigError& error) {
        return report(kExitUsage, {"ConfigError", error.what(), ""},
                      where() + ": " + error.what() + "\n");
    } catch (const Exception& error) {
        // A range error has no hint: the operands are checked before the driver sees them, so
        // one left over comes from a number the bus made (a dispenser the configuration
        // allows, say).
        const bool range = dynamic_cast<const ERangeError*>(&error) != nullptr;
        const std::string shownHint = range ? "" : hint;
        return report(kExitFailure, {error.ClassName(), error.Message(), shownHint},
                      where() + ": " + error.Message() + " (" + error.ClassName() + ")\n" +
                          (shownHint.empty() ? "" : "  (" + shownHint + ")\n"));
    } catch (const Failure& error) {
        return report(kExitFailure, {"Failure", error.what(), ""},
                      where() + ": " + error.what() + "\n");
    }
}

int RunProgram(std::span<const std::string> words, std::istream& in, std::ostream& out,
               std::ostream& err) {
    const bool json = JsonRequested(words);
    try {
        return RunCommandLine(words, in, out, err, {.json = json});
    } catch (const std::exception& error) {
        // Whatever else went wrong (a configuration the emulator refused, a file that could not
        // be read) is reported, never left to abort the program.
        return Reporter{out, err, json}(kExitFailure, {"Error", error.what(), ""},
                                        std::string(kProgram) + ": " + error.what() + "\n");
    }
}

}  // namespace fuel::cli
