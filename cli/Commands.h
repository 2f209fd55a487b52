// What the program's commands share: how a command is described and run, and the steps that
// several of them take (polling a dispenser, judging the link after a reply).
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Arguments.h"
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
    SessionOptions sessionOptions;
    const ParsedArguments& arguments;
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // The session of the common options, created on first use; a shell shares one.
    std::function<Session&()> session;
    // --json: the result as a JSON document (cli/Json.h) instead of text.
    bool json = false;
};

struct Command {
    std::string_view name;
    std::string_view operands;  // "DISPENSER NOZZLE"
    std::string_view summary;   // one line for the command list
    std::string_view description;
    std::vector<OptionDefinition> options;
    std::size_t minOperands = 0;
    std::size_t maxOperands = 0;
    int (*run)(CommandContext&) = nullptr;
    // It prints results, and so takes --json.
    bool json = false;
};

const std::vector<Command>& Commands();
const std::vector<OptionDefinition>& CommonOptions();

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
// For the actions of a command that takes --json which print no results (or print a form of
// their own): a usage error that says so.
void RefuseJson(const CommandContext& context, const std::string& action,
                const std::string& why = "prints no results");
// Before a change a person must confirm: nobody can be asked when the input is a pipe or a
// file, so a script says --yes; else a usage error saying so (`what`: "the write").
void RequireSomeoneToAsk(const CommandContext& context, std::string_view what = "");
// Asks the question on a terminal, unless --yes answered it: true for yes.
bool Consent(CommandContext& context, const std::string& question);

int RunMonitor(CommandContext& context);
int RunDemo(CommandContext& context);
// The trace commands (cli/TraceCommands.cpp).
Command TraceSummaryCommand();
Command ReplayCommand();

// The service tool's commands (cli/CatalogueCommands.cpp, cli/ParamCommands.cpp).
std::vector<Command> CatalogueCommands();
std::vector<Command> ParamCommands();
// --settings DIR, which every service tool command takes.
const OptionDefinition& SettingsOption();

}  // namespace fuel::cli
