// The command table walked whole: every command and subcommand refuses each option of the
// program it does not take, naming the option and itself, and its --help lists exactly the
// options it takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Program.h"
#include "tests/cli/CliTestSupport.h"

namespace fuel::cli {
namespace {

using test::Contains;
using test::Outcome;
using test::RunInProcess;

// An entry of the table, as the words that name it.
struct Entry {
    std::vector<std::string> words;  // "cell", "read"
    const Command* command;
};

std::vector<Entry> Entries() {
    std::vector<Entry> entries;
    for (const Command& command : Commands()) {
        entries.push_back({{std::string(command.name)}, &command});
        for (const Command& subcommand : command.subcommands) {
            entries.push_back(
                {{std::string(command.name), std::string(subcommand.name)}, &subcommand});
        }
    }
    return entries;
}

std::string Path(const Entry& entry) {
    std::string path;
    for (const std::string& word : entry.words) {
        path += (path.empty() ? "" : " ") + word;
    }
    return path;
}

// The option's words on a command line, with a value that reads for every option.
std::vector<std::string> Given(const OptionDefinition& option) {
    std::vector<std::string> words = {"--" + std::string(option.name)};
    if (!option.valueName.empty()) {
        words.push_back("1");
    }
    return words;
}

// The options a help text lists: the lines "  --NAME ..." of its sections "Options:" and
// "Line options:" (a description may begin a line with an option it mentions).
std::set<std::string> OptionsListed(const std::string& help) {
    std::set<std::string> names;
    std::istringstream lines(help);
    bool inSection = false;
    for (std::string line; std::getline(lines, line);) {
        if (line == "Options:" || line == "Line options:") {
            inSection = true;
        } else if (line.empty()) {
            inSection = false;
        } else if (inSection && line.rfind("  --", 0) == 0) {
            names.insert(line.substr(4, line.find(' ', 4) - 4));
        }
    }
    return names;
}

TEST(CommandTableTest, EveryOptionNotTakenIsRefusedByName) {
    for (const Entry& entry : Entries()) {
        for (const ProgramOption& option : AllOptions()) {
            const std::string_view name = option.definition.name;
            if (Takes(*entry.command, name)) {
                continue;
            }
            std::vector<std::string> words = entry.words;
            const std::vector<std::string> given = Given(option.definition);
            words.insert(words.end(), given.begin(), given.end());
            const Outcome run = RunInProcess(words);
            const std::string where = Path(entry) + " --" + std::string(name);
            EXPECT_EQ(run.status, kExitUsage) << where;
            EXPECT_TRUE(Contains(run.err, "--" + std::string(name))) << where << ": " << run.err;
            EXPECT_TRUE(Contains(run.err, "'" + Path(entry) + "'")) << where << ": " << run.err;
            // Nothing ran: standard output holds the error's document at most (--json).
            EXPECT_TRUE(run.out.empty() || run.out.starts_with("{\"error\":")) << where;
        }
    }
}

TEST(CommandTableTest, HelpListsExactlyTheOptionsTaken) {
    for (const Entry& entry : Entries()) {
        std::vector<std::string> words = entry.words;
        words.push_back("--help");
        const Outcome run = RunInProcess(words);
        ASSERT_EQ(run.status, kExitSuccess) << Path(entry) << ": " << run.err;
        EXPECT_TRUE(Contains(run.out, "Usage: fuelctl " + Path(entry))) << run.out;

        std::set<std::string> taken = {"help"};
        for (const OptionUse& use : entry.command->options) {
            taken.insert(std::string(use.name));
        }
        EXPECT_EQ(OptionsListed(run.out), taken) << Path(entry) << "\n" << run.out;

        // Each one is read as the command's: given before --help, it is no usage error.
        for (const OptionDefinition& option : OptionsOf(*entry.command)) {
            std::vector<std::string> with = entry.words;
            const std::vector<std::string> given = Given(option);
            with.insert(with.end(), given.begin(), given.end());
            with.push_back("--help");
            EXPECT_EQ(RunInProcess(with).status, kExitSuccess) << Path(entry) << " " << given[0];
        }

        std::vector<std::string> help = {"help"};
        help.insert(help.end(), entry.words.begin(), entry.words.end());
        EXPECT_EQ(RunInProcess(help).out, run.out) << Path(entry);
    }
}

TEST(CommandTableTest, SubcommandsAreListedInTheirCommandsHelp) {
    for (const Command& command : Commands()) {
        if (command.subcommands.empty()) {
            continue;
        }
        const Outcome run = RunInProcess({std::string(command.name), "--help"});
        for (const Command& subcommand : command.subcommands) {
            EXPECT_TRUE(Contains(run.out, "\n  " + std::string(subcommand.name) + " ")) << run.out;
        }
    }
}

}  // namespace
}  // namespace fuel::cli
