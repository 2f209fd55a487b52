// The command table, built once.
#include <algorithm>
#include <stdexcept>

#include "cli/Commands.h"

namespace fuel::cli {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        StatusCommand(),       StartCommand(),     StopCommand(),      DoseCommand(),
        PriceCommand(),        DataCommand(),      FinalCommand(),     TotaliserCommand(),
        CellCommand(),         CatalogueCommand(), ParamCommand(),     CalculatorCommand(),
        InfoCommand(),         MonitorCommand(),   DemoCommand(),      ShellCommand(),
        TraceSummaryCommand(), ReplayCommand(),    ForecourtCommand(), HelpCommand(),
    };
    return commands;
}

const Command* FindCommand(std::string_view name) {
    if (name == "totalizer") {
        name = "totaliser";
    }
    for (const Command& command : Commands()) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

const Command* FindSubcommand(const Command& command, std::string_view name) {
    for (const Command& subcommand : command.subcommands) {
        if (subcommand.name == name) {
            return &subcommand;
        }
    }
    return nullptr;
}

bool Takes(const Command& command, std::string_view option) {
    return option == "help" ||
           std::any_of(command.options.begin(), command.options.end(),
                       [&](const OptionUse& use) { return use.name == option; });
}

std::vector<OptionDefinition> OptionsOf(const Command& command) {
    std::vector<OptionDefinition> definitions;
    for (const OptionUse& use : command.options) {
        const ProgramOption* option = FindProgramOption(use.name);
        if (option == nullptr) {
            throw std::logic_error("the command " + std::string(command.name) +
                                   " names no option of the program: " + std::string(use.name));
        }
        OptionDefinition definition = option->definition;
        if (!use.help.empty()) {
            definition.help = use.help;
        }
        definitions.push_back(definition);
    }
    definitions.push_back(FindProgramOption("help")->definition);
    return definitions;
}

std::vector<OptionUse> WithLineOptions(std::vector<OptionUse> own) {
    for (const std::string_view name : kLineOptions) {
        own.push_back({name});
    }
    return own;
}

}  // namespace fuel::cli
