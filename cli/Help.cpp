#include "cli/Help.h"

#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

#include "cli/Program.h"
#include "emulator/Emulator.h"

namespace fuel::cli {
namespace {

constexpr std::size_t kWidth = 90;

// Words of `text` in lines of at most kWidth columns, each line starting with `indent`.
void PrintWrapped(std::ostream& out, std::string_view text, std::size_t indent) {
    std::istringstream words{std::string(text)};
    std::string word;
    std::size_t column = 0;
    while (words >> word) {
        if (column > 0 && column + 1 + word.size() > kWidth) {
            out << "\n";
            column = 0;
        }
        if (column == 0) {
            out << std::string(indent, ' ') << word;
            column = indent + word.size();
        } else {
            out << " " << word;
            column += 1 + word.size();
        }
    }
    out << "\n";
}

// Each option on its own line, its help wrapped under the help column.
void PrintOptions(std::ostream& out, const std::vector<OptionDefinition>& options) {
    constexpr std::size_t kHelpColumn = 23;
    for (const OptionDefinition& option : options) {
        std::string left = "--" + std::string(option.name);
        if (!option.valueName.empty()) {
            left += " " + std::string(option.valueName);
        }
        std::string line = "  " + left;
        if (line.size() + 1 > kHelpColumn) {
            out << line << "\n";
            line.clear();
        }
        line.resize(kHelpColumn, ' ');
        std::istringstream words{std::string(option.help)};
        std::string word;
        bool first = true;
        while (words >> word) {
            if (!first && line.size() + 1 + word.size() > kWidth) {
                out << line << "\n";
                line.assign(kHelpColumn, ' ');
                first = true;
            }
            line += (first ? "" : " ") + word;
            first = false;
        }
        out << line << "\n";
    }
}

void PrintFaultKinds(std::ostream& out) {
    out << "Fault kinds for --fault:";
    for (const emulator::Fault fault : emulator::kAllFaults) {
        out << " " << emulator::FaultName(fault);
    }
    out << "\n";
}

// A list of names and their summaries, as the command list shows them.
void PrintList(std::ostream& out, const std::vector<Command>& commands, int width) {
    for (const Command& command : commands) {
        out << "  " << std::left << std::setw(width) << command.name << std::right
            << command.summary << "\n";
    }
}

// "status, data, ..., cell read, ...": the commands and subcommands that print results.
std::string CommandsWithJson() {
    std::string names;
    const auto add = [&](const Command& command, const Command* parent) {
        if (Takes(command, "json")) {
            names += (names.empty() ? "" : ", ") +
                     (parent != nullptr ? std::string(parent->name) + " " : "") +
                     std::string(command.name);
        }
    };
    for (const Command& command : Commands()) {
        add(command, nullptr);
        for (const Command& subcommand : command.subcommands) {
            add(subcommand, &command);
        }
    }
    return names;
}

std::vector<OptionDefinition> LineOptionDefinitions() {
    std::vector<OptionDefinition> options;
    for (const std::string_view name : kLineOptions) {
        options.push_back(FindProgramOption(name)->definition);
    }
    return options;
}

constexpr char kExitStatus[] =
    "Exit status: 0 success, 1 the dispenser or the line failed, 2 usage error.\n";

}  // namespace

void PrintProgramHelp(std::ostream& out) {
    out << "Usage: " << kProgram << " COMMAND [OPERANDS] [OPTIONS]\n"
        << "       " << kProgram << " --version | --help\n\n"
        << "Drives the fuel-dispenser driver against the embedded controller emulator (or a\n"
        << "serial line). The service tool's commands (catalogue, param) keep the catalogue\n"
        << "and the audit log in a settings directory: --settings DIR, else $FUELCTL_SETTINGS,\n"
        << "else $XDG_CONFIG_HOME/fuelctl/Settings, else ~/.config/fuelctl/Settings; an\n"
        << "empty one gets the example catalogue for the built-in bus.\n\n";
    PrintWrapped(out,
                 "For scripts, the commands that print results (" + CommandsWithJson() +
                     ") take --json: the result as one JSON document on one line (monitor: one "
                     "a refresh), a failure as {\"error\": {\"class\": ..., \"message\": ...}}, "
                     "the exit status unchanged. The other commands refuse --json as a usage "
                     "error.",
                 0);
    out << "\nCommands:\n";
    PrintList(out, Commands(), 11);
    out << "\nLine options (each command's --help lists the options it takes):\n";
    PrintOptions(out, LineOptionDefinitions());
    out << "\n";
    PrintFaultKinds(out);
    out << kExitStatus << "'" << kProgram << " COMMAND --help' shows a command's help.\n";
}

void PrintCommandHelp(std::ostream& out, const Command& command, const Command* parent) {
    std::string path = std::string(kProgram) + " ";
    if (parent != nullptr) {
        path += std::string(parent->name) + " ";
    }
    path += command.name;
    out << "Usage: " << path;
    if (!command.subcommands.empty()) {
        std::string names;
        for (const Command& subcommand : command.subcommands) {
            names += (names.empty() ? "" : "|") + std::string(subcommand.name);
        }
        out << (command.run != nullptr ? " [" + names + " ...]" : " " + names + " ...");
    } else if (!command.operands.empty()) {
        out << " " << command.operands;
    }
    out << " [OPTIONS]\n\n";
    PrintWrapped(out, command.description, 2);
    if (!command.subcommands.empty()) {
        out << "\nSubcommands:\n";
        PrintList(out, command.subcommands, 16);
        out << "'" << path << " SUBCOMMAND --help' shows a subcommand's help.\n";
    }

    // A line option that the command gives a meaning of its own (fuelctl forecourt's
    // --config, the station's file) is one of its own options.
    std::vector<OptionDefinition> own;
    std::vector<OptionDefinition> line;
    for (const OptionDefinition& option : OptionsOf(command)) {
        const bool asLine = IsLineOption(option.name) &&
                            option.help == FindProgramOption(option.name)->definition.help;
        (asLine ? line : own).push_back(option);
    }
    out << "\nOptions:\n";
    PrintOptions(out, own);
    if (!line.empty()) {
        out << "\nLine options:\n";
        PrintOptions(out, line);
    }
    if (Takes(command, "fault")) {
        out << "\n";
        PrintFaultKinds(out);
    }
    out << "\n" << kExitStatus;
}

namespace {

int RunHelp(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    if (operands.empty()) {
        PrintProgramHelp(context.out);
        return kExitSuccess;
    }
    const Command* command = FindCommand(operands[0]);
    if (command == nullptr) {
        throw UsageError("no command '" + operands[0] + "'");
    }
    if (operands.size() == 1) {
        PrintCommandHelp(context.out, *command, nullptr);
        return kExitSuccess;
    }
    const Command* subcommand = FindSubcommand(*command, operands[1]);
    if (subcommand == nullptr) {
        throw UsageError("no subcommand '" + std::string(command->name) + " " + operands[1] + "'");
    }
    PrintCommandHelp(context.out, *subcommand, command);
    return kExitSuccess;
}

}  // namespace

Command HelpCommand() {
    return {.name = "help",
            .operands = "[COMMAND [SUBCOMMAND]]",
            .summary = "show help",
            .description = "Shows the commands, or one command's or subcommand's help.",
            .minOperands = 0,
            .maxOperands = 2,
            .run = &RunHelp};
}

}  // namespace fuel::cli
