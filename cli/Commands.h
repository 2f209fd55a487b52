// The program's commands as one table: how a command (or a subcommand) is described, which
// options it takes and how it runs; and the steps that several of them take (polling a
// dispenser, judging the link after a reply). Dispatch, help, the shell, the bash completion
// and the manual page are all read from this table. A command is one entry below plus its
// own file.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Arguments.h"
#include "cli/ProgramOptions.h"
#include "cli/Results.h"
#include "cli/Session.h"
#include "driver/StatusRecord.h"

namespace fuel::cli {

// The dispenser or the line failed in a way the driver did not raise as an exception (a
// reply it marked bad, a price the controller did not take): exit status 1.
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct CommandContext {
    // The options as read (cli/ProgramOptions.h).
    const ProgramOptions& options;
    // The session's options, which a command may still change before it opens the session.
    SessionOptions sessionOptions;
    // The operands, and which options were given.
    const ParsedArguments& arguments;
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // The session of the line options, created on first use; a shell shares one.
    std::function<Session&()> session;
    // --json: the result as a JSON document (cli/Json.h) instead of text.
    bool json = false;
};

// An option a command takes; `help` says what it does for this command, when the option's
// own words (cli/ProgramOptions.cpp) do not.
struct OptionUse {
    std::string_view name;
    std::string_view help = {};
};

struct Command {
    std::string_view name = {};
    std::string_view operands = {};  // "DISPENSER NOZZLE"
    std::string_view summary = {};   // one line for the command list
    std::string_view description = {};
    // Besides --help, which every command takes.
    std::vector<OptionUse> options = {};
    std::size_t minOperands = 0;
    std::size_t maxOperands = 0;
    // Null when a subcommand must be named.
    int (*run)(CommandContext&) = nullptr;
    // Named by the first operand; each has its own operands, options and help.
    std::vector<Command> subcommands = {};
    // Why it takes no --json, when it does not.
    std::string_view withoutJson = "prints no results";
    // Whether a line of the shell may run it.
    bool inShell = true;
};

// Every command, in the order the help lists them.
const std::vector<Command>& Commands();
// The command of that name (or its other spelling), else null.
const Command* FindCommand(std::string_view name);
const Command* FindSubcommand(const Command& command, std::string_view name);
bool Takes(const Command& command, std::string_view option);
// The options a command takes as the word parser wants them: its own, with their help for
// this command, and --help.
std::vector<OptionDefinition> OptionsOf(const Command& command);
// `own` and then the line options (cli/ProgramOptions.h), for a command that opens a session.
std::vector<OptionUse> WithLineOptions(std::vector<OptionUse> own);

// The table's entries, each in its command's own file.
Command StatusCommand();
Command StartCommand();
Command StopCommand();
Command DoseCommand();
Command PriceCommand();
Command DataCommand();
Command FinalCommand();
Command TotaliserCommand();
Command CellCommand();
Command CatalogueCommand();  // cli/CatalogueCommands.cpp
Command ParamCommand();      // cli/ParamCommands.cpp
Command CalculatorCommand();
Command InfoCommand();
Command MonitorCommand();       // cli/Monitor.cpp
Command DemoCommand();          // cli/Demo.cpp
Command ShellCommand();         // cli/Shell.cpp
Command TraceSummaryCommand();  // cli/TraceCommands.cpp
Command ReplayCommand();
Command ForecourtCommand();  // cli/ForecourtCommand.cpp
Command HelpCommand();       // cli/Help.cpp

// Operand helpers: the word and what it names go into the usage error.
std::uint8_t DispenserOperand(const std::string& word);
std::uint8_t NozzleOperand(const std::string& word);

// Polls nozzles 1..count of a dispenser the way a host does (mode refresh included) and
// fails unless the link stayed good. count 0 takes the dispenser's nozzles on the bus.
StatusRecordEx PollDispenser(Session& session, std::uint8_t dispenser, int count = 0);
// Nozzles to poll for a dispenser: those the bus has, at least 1.
int NozzlesToPoll(Session& session, std::uint8_t dispenser);
// After an operation that reports a bad reply only through the link state.
void RequireGoodLink(Session& session, std::string_view what);
// What a poll found, with each volume in the decimals the dispenser counts in.
DispenserReading DescribePoll(Session& session, std::uint8_t dispenser,
                              const StatusRecordEx& record, int polled);
// Decimals to show a dispenser's volumes and amounts with: its own in modes 0x40..0x47 (at
// least two), else two.
int VolumeDecimalsShown(Session& session, std::uint8_t dispenser);
int MoneyDecimalsShown(Session& session, std::uint8_t dispenser);
// Before a change a person must confirm: nobody can be asked when the input is a pipe or a
// file, so a script says --yes; else a usage error saying so (`what`: "the write").
void RequireSomeoneToAsk(const CommandContext& context, std::string_view what = "");
// Asks the question on a terminal, unless --yes answered it: true for yes.
bool Consent(CommandContext& context, const std::string& question);

}  // namespace fuel::cli
