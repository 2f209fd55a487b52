// The service tool's parameters on the command line: read, write with a read-back and an
// audit line, dump and restore, the adjustment calculator. A write is checked whole before
// the first frame goes out, shows the old and the new value with their cells, asks (or wants
// --yes), and says whether the controller holds the new value afterwards.
#include <array>
#include <ctime>
#include <iomanip>
#include <istream>
#include <ostream>

#include "cli/AuditLog.h"
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Json.h"
#include "cli/ParameterDump.h"
#include "cli/Program.h"
#include "cli/Settings.h"
#include "driver/Exceptions.h"
#include "tool/Adjustment.h"
#include "tool/AtomicFile.h"
#include "tool/ParameterValue.h"
#include "tool/Utf8Path.h"

namespace fuel::cli {
namespace {

using tool::CellBytes;
using tool::ShownValue;
using tool::SplitResult;
using tool::ValueLayout;

constexpr std::uint32_t kDefaultAddress = 1;
constexpr double kHighestQuantity = 1e9;

// A parameter of the catalogue, as the commands need it.
struct Target {
    std::string controller;
    std::string parameter;
    ValueLayout layout;
    std::int32_t function = 0;
};

// "RAM 20 21 22", or "none" for a type without cells.
std::string CellsWhere(const ValueLayout& layout) {
    const int count = tool::CellCount(layout.type);
    if (count == 0) {
        return "none";
    }
    std::string text = layout.rom ? "ROM" : "RAM";
    for (int k = 0; k < count; ++k) {
        text += " " + Hex(layout.cells[static_cast<std::size_t>(k)]);
    }
    return text;
}

std::string WithCells(const ShownValue& value) {
    return value.text + " [" + Hex(value.cells.View()) + "]";
}

std::uint32_t Address(const CommandContext& context) {
    return context.options.address.value_or(kDefaultAddress);
}

// What the channel is: "emulator", the device, or "port map FILE".
std::string LineKind(const CommandContext& context) {
    const SessionOptions& options = context.sessionOptions;
    if (options.port) {
        return *options.port;
    }
    if (options.portMap) {
        return "port map " + *options.portMap;
    }
    return "emulator";
}

std::string LineName(const CommandContext& context) {
    return "channel " + std::to_string(context.sessionOptions.channel) + " (" + LineKind(context) +
           ")";
}

tool::CControllerList LoadedCatalogue(CommandContext& context) {
    tool::CControllerList list(SettingsDirectory(context.options.settings));
    LoadCatalogue(list, context.err);
    return list;
}

Target Resolve(const tool::CControllerList& list, const std::string& controllerWord,
               const std::string& parameterWord) {
    const int controller = FindController(list, controllerWord);
    const int parameter = FindParameter(list, controller, parameterWord);
    const tool::CParameter& p = list[controller].Params[parameter];
    return {list[controller].Name, p.Name, tool::LayoutOf(p), p.Function};
}

// A parameter's value as the controller holds it; a Failure when the reply was garbled.
ShownValue ReadGoodValue(Session& session, std::uint32_t address, const ValueLayout& layout) {
    ShownValue value = tool::ReadValue(session.Driver(), session.Channel(), address, layout);
    if (!value.linkGood) {
        throw Failure(
            "the controller's reply to a cell read was garbled or implausible (the driver took "
            "the cell as 0)");
    }
    return value;
}

// "RAM 20 21 22 = 00 99 87": where the value is and what the cells hold.
std::string CellsRead(const ValueLayout& layout, const ShownValue& value) {
    std::string text = CellsWhere(layout);
    if (value.cells.count > 0) {
        text += " = " + Hex(value.cells.View());
    }
    return text;
}

std::string Describe(const Target& target, std::uint32_t address, const CommandContext& context) {
    return target.controller + " / " + target.parameter + " at address " + std::to_string(address) +
           ", " + LineName(context);
}

// Writes the cells, reads them back and leaves the audit line; true when the controller now
// holds exactly the cells that were sent.
bool WriteAndVerify(CommandContext& context, Session& session, const std::filesystem::path& log,
                    const Target& target, std::uint32_t address, const ShownValue& old,
                    const CellBytes& cells) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    const std::string newText = tool::DecodeValue(target.layout, cells).text;
    AuditEntry audit{LineName(context),
                     address,
                     target.controller,
                     target.parameter,
                     CellsWhere(target.layout),
                     WithCells(old),
                     newText + " [" + Hex(cells.View()) + "]",
                     ""};
    std::size_t written = 0;
    try {
        tool::WriteCells(driver, channel, address, target.layout, cells, &written);
    } catch (const Exception& error) {
        audit.result = "FAILED after " + std::to_string(written) + " of " +
                       std::to_string(cells.count) + " cells: " + error.Message();
        AppendAudit(log, audit);
        throw;
    }
    ShownValue now;
    try {
        now = tool::ReadValue(driver, channel, address, target.layout);
    } catch (const Exception& error) {
        audit.result = "written, NOT VERIFIED: the read-back failed: " + error.Message();
        AppendAudit(log, audit);
        throw;
    }
    const bool verified = now.linkGood && now.cells == cells;
    audit.result = verified ? "verified" : "NOT VERIFIED: reads back " + WithCells(now);
    AppendAudit(log, audit);
    if (verified) {
        context.out << "  verified: the controller holds " << WithCells(now) << "\n";
    } else {
        context.err << "fuelctl param: the controller does not hold the new value: it reads back "
                    << WithCells(now) << (now.linkGood ? "" : " (garbled reply)") << "\n";
    }
    return verified;
}

// What 'param write' and 'param adjust' share once the new cells are known.
int WriteValue(CommandContext& context, Session& session, const std::filesystem::path& log,
               const Target& target, std::uint32_t address, const ShownValue& old,
               const CellBytes& cells) {
    std::ostream& out = context.out;
    out << Describe(target, address, context) << ", " << CellsWhere(target.layout) << "\n";
    out << "  now  " << WithCells(old) << "\n";
    out << "  new  " << tool::DecodeValue(target.layout, cells).text << " [" << Hex(cells.View())
        << "]\n";
    if (old.cells == cells) {
        out << "  the controller already holds this value: nothing written\n";
        return kExitSuccess;
    }
    if (!Consent(context, "Write the new value?")) {
        out << "  nothing written\n";
        return kExitFailure;
    }
    return WriteAndVerify(context, session, log, target, address, old, cells) ? kExitSuccess
                                                                              : kExitFailure;
}

CellBytes CellsOrRefuse(const Target& target, const SplitResult& split) {
    if (split.outcome == SplitResult::Outcome::Refused) {
        throw UsageError(target.parameter + ": " + split.error);
    }
    if (split.outcome == SplitResult::Outcome::NothingToWrite) {
        // On the command line a refusal is said in any case; read-only is the reason to say.
        if (target.layout.readOnly) {
            throw UsageError(target.parameter + ": " + tool::kReadOnlyRefusal);
        }
        throw UsageError(target.parameter + " has no value to write (type " +
                         std::to_string(target.layout.type) + ")");
    }
    return split.cells;
}

int RunRead(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const tool::CControllerList list = LoadedCatalogue(context);
    const Target target = Resolve(list, operands[0], operands[1]);
    const std::uint32_t address = Address(context);
    Session& session = context.session();
    const ShownValue value = ReadGoodValue(session, address, target.layout);
    if (context.json) {
        context.out << ToJson(ParameterReading{target.controller, target.parameter, address,
                                               context.sessionOptions.channel, LineKind(context),
                                               target.layout, value})
                    << "\n";
        return kExitSuccess;
    }
    context.out << Describe(target, address, context) << "\n";
    context.out << "  value  " << value.text << "\n";
    context.out << "  cells  " << CellsRead(target.layout, value) << "\n";
    return kExitSuccess;
}

int RunWrite(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const tool::CControllerList list = LoadedCatalogue(context);
    const Target target = Resolve(list, operands[0], operands[1]);
    const std::uint32_t address = Address(context);
    // Every check before the first frame: the value, and whether anyone can confirm.
    const CellBytes cells = CellsOrRefuse(target, tool::SplitValue(target.layout, operands[2]));
    RequireSomeoneToAsk(context, "the write");
    Session& session = context.session();
    const ShownValue old = ReadGoodValue(session, address, target.layout);
    return WriteValue(context, session, list.Directory() / kAuditLogName, target, address, old,
                      cells);
}

int RunAdjust(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::optional<FieldValue>& dose = context.options.dose;
    const std::optional<FieldValue>& measured = context.options.measured;
    if (!dose || !measured) {
        throw UsageError("param adjust needs --dose and --measured");
    }
    const long double doseValue = dose->value;
    const long double measuredValue = measured->value;
    const tool::CControllerList list = LoadedCatalogue(context);
    const Target target = Resolve(list, operands[0], operands[1]);
    if (target.function != 1) {
        throw UsageError(target.parameter +
                         " is not an adjustment coefficient (its function is not 1); "
                         "'param write' writes any value");
    }
    const std::uint32_t address = Address(context);
    if (target.layout.readOnly) {
        throw UsageError(target.parameter + ": " + tool::kReadOnlyRefusal);
    }
    if (doseValue == 0) {
        throw UsageError(tool::CalculateCoefficient(1, 0, measuredValue).error);
    }
    RequireSomeoneToAsk(context, "the write");
    Session& session = context.session();
    const ShownValue old = ReadGoodValue(session, address, target.layout);
    const auto result = tool::CalculateCoefficient(old.lastValue, doseValue, measuredValue);
    if (!result.coefficient) {
        throw UsageError(result.error);
    }
    const std::string entry = tool::EntryText(target.layout, *result.coefficient);
    context.out << "adjustment: " << measured->text << " x "
                << tool::FormatCoefficient(old.lastValue) << " / " << dose->text << " = "
                << tool::FormatCoefficient(*result.coefficient) << " (written as " << entry
                << ")\n";
    const CellBytes cells = CellsOrRefuse(target, tool::SplitValue(target.layout, entry));
    return WriteValue(context, session, list.Directory() / kAuditLogName, target, address, old,
                      cells);
}

std::string LocalTime() {
    const std::time_t now = std::time(nullptr);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return text;
}

int RunDump(CommandContext& context) {
    const tool::CControllerList list = LoadedCatalogue(context);
    const int controller = FindController(list, context.arguments.Operands()[0]);
    const std::uint32_t address = Address(context);
    Session& session = context.session();
    ParameterDump dump;
    dump.comments = {
        "fuelctl parameter dump; 'fuelctl param restore FILE' writes back what "
        "differs",
        "taken " + LocalTime() + " on " + LineName(context)};
    dump.controller = list[controller].Name;
    dump.address = address;
    const tool::CParameterList& params = list[controller].Params;
    for (int p = 0; p < params.Count(); ++p) {
        const ValueLayout layout = tool::LayoutOf(params[p]);
        const ShownValue value = ReadGoodValue(session, address, layout);
        dump.entries.push_back({p, params[p].Name, CellsRead(layout, value), value.text, 0});
    }
    const std::string text = FormatDump(dump);
    if (const auto& output = context.options.output) {
        tool::SaveFileAtomically(tool::PathFromUtf8(*output), text);
        context.out << params.Count() << " parameters of " << dump.controller << " at address "
                    << address << " written to " << *output << "\n";
    } else {
        context.out << text;
    }
    return kExitSuccess;
}

// One parameter of a dump, matched to the catalogue.
struct RestoreItem {
    Target target;
    const DumpEntry* entry = nullptr;
    CellBytes cells;
    bool writable = false;
};

RestoreItem MatchEntry(const tool::CControllerList& list, int controller, const DumpEntry& entry) {
    const tool::CParameterList& params = list[controller].Params;
    int position = -1;
    if (entry.position < params.Count() && params[entry.position].Name == entry.name) {
        position = entry.position;
    } else {
        position = FindParameter(list, controller, entry.name);
    }
    const tool::CParameter& parameter = params[position];
    RestoreItem item;
    item.target = {list[controller].Name, parameter.Name, tool::LayoutOf(parameter),
                   parameter.Function};
    item.entry = &entry;
    const std::string where = CellsWhere(item.target.layout);
    if (entry.cells.substr(0, entry.cells.find(" =")) != where) {
        throw UsageError("line " + std::to_string(entry.line) + " of the dump: " + entry.name +
                         " was in cells " + entry.cells + ", the catalogue has it in " + where);
    }
    const SplitResult split = tool::SplitValue(item.target.layout, entry.value);
    if (split.outcome == SplitResult::Outcome::Refused && !item.target.layout.readOnly) {
        throw UsageError("line " + std::to_string(entry.line) + " of the dump: " + entry.name +
                         ": " + split.error);
    }
    item.writable = split.outcome == SplitResult::Outcome::Cells;
    item.cells = split.cells;
    return item;
}

int RunRestore(CommandContext& context) {
    const std::string& file = context.arguments.Operands()[0];
    const auto text = tool::ReadExistingFile(tool::PathFromUtf8(file));
    if (!text) {
        throw UsageError("no file " + file);
    }
    const ParameterDump dump = ParseDump(*text);
    const tool::CControllerList list = LoadedCatalogue(context);
    const int controller = FindController(list, dump.controller);
    std::vector<RestoreItem> items;
    for (const DumpEntry& entry : dump.entries) {
        items.push_back(MatchEntry(list, controller, entry));
    }
    const std::uint32_t address = context.options.address.value_or(dump.address);
    RequireSomeoneToAsk(context, "the write");

    Session& session = context.session();
    std::ostream& out = context.out;
    out << "restore " << list[controller].Name << " at address " << address << ", "
        << LineName(context) << " from " << file << "\n";
    std::vector<std::pair<const RestoreItem*, ShownValue>> differing;
    for (const RestoreItem& item : items) {
        if (tool::CellCount(item.target.layout.type) == 0) {
            continue;
        }
        const ShownValue now = ReadGoodValue(session, address, item.target.layout);
        if (now.text == item.entry->value) {
            continue;
        }
        if (!item.writable) {
            out << "  " << item.target.parameter << ": now " << WithCells(now) << ", dump "
                << item.entry->value << " (not written: "
                << (item.target.layout.readOnly ? "read-only" : "no value to write") << ")\n";
            continue;
        }
        out << "  " << item.target.parameter << ": now " << WithCells(now) << ", restore "
            << tool::DecodeValue(item.target.layout, item.cells).text << " ["
            << Hex(item.cells.View()) << "]\n";
        differing.emplace_back(&item, now);
    }
    if (differing.empty()) {
        out << "  nothing to write: the controller holds every writable value of the dump\n";
        return kExitSuccess;
    }
    if (!Consent(context, "Write " + std::to_string(differing.size()) + " parameter(s)?")) {
        out << "  nothing written\n";
        return kExitFailure;
    }
    const auto log = list.Directory() / kAuditLogName;
    std::size_t verified = 0;
    for (const auto& [item, now] : differing) {
        out << "  " << item->target.parameter << "\n";
        if (WriteAndVerify(context, session, log, item->target, address, now, item->cells)) {
            ++verified;
        }
    }
    out << "restored " << verified << " of " << differing.size() << " parameter(s)"
        << (verified == differing.size() ? ", each verified" : "") << "\n";
    return verified == differing.size() ? kExitSuccess : kExitFailure;
}

int RunNozzles(CommandContext& context) {
    const tool::CControllerList list = LoadedCatalogue(context);
    const tool::CController& controller =
        list[FindController(list, context.arguments.Operands()[0])];
    const std::uint32_t address = Address(context);
    Session& session = context.session();
    ActiveNozzleReading reading{
        controller.Name, address, context.sessionOptions.channel, LineKind(context), {}};
    for (const std::uint8_t cell : {controller.ActiveNozzle, controller.ActiveNozzle2}) {
        ActiveNozzle& active = reading.cells.emplace_back();
        active.cell = cell;
        // As the dialog does, a cell that cannot be read is shown as such and the other one
        // still read.
        try {
            active.nozzle =
                tool::ReadActiveNozzle(session.Driver(), session.Channel(), address, cell);
        } catch (const Exception& error) {
            active.error = ErrorReport{error.ClassName(), error.Message(), ""};
        }
    }
    if (context.json) {
        context.out << ToJson(reading) << "\n";
        return kExitSuccess;
    }
    context.out << reading.controller << " at address " << address << ", " << LineName(context)
                << ": active nozzles ";
    bool first = true;
    for (const ActiveNozzle& active : reading.cells) {
        const std::string shown = active.error    ? "???"
                                  : active.nozzle ? std::to_string(*active.nozzle)
                                                  : "---";
        context.out << (first ? "" : ", ") << shown << " (cell " << Hex(active.cell) << ")";
        first = false;
    }
    context.out << "\n";
    return kExitSuccess;
}

int RunCalculator(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const double coefficient = ParseQuantity(operands[0], "the coefficient", kHighestQuantity);
    const long double dose = ParseField(operands[1], "the dose", kHighestQuantity).value;
    const long double measured =
        ParseField(operands[2], "the measured volume", kHighestQuantity).value;
    const auto result = tool::CalculateCoefficient(coefficient, dose, measured);
    if (!result.coefficient) {
        throw UsageError(result.error);
    }
    const CoefficientReading reading{*result.coefficient};
    if (context.json) {
        context.out << ToJson(reading) << "\n";
        return kExitSuccess;
    }
    context.out << tool::FormatCoefficient(reading.coefficient) << "\n";
    return kExitSuccess;
}

}  // namespace

Command ParamCommand() {
    const OptionUse address = {"address"};
    const OptionUse yes = {"yes"};
    const OptionUse settings = {"settings"};
    return {
        .name = "param",
        .summary = "read and write catalogue parameters of a controller",
        .description =
            "Reads and writes the parameters of the service tool's catalogue (see 'catalogue') "
            "in a controller at --address (default 1) on the channel. CONTROLLER and PARAMETER "
            "are names or positions. A write is checked whole before anything is sent, shows "
            "the current and the new value with their cells, asks on a terminal (--yes for "
            "scripts; refused without it when standard input is not a terminal), writes, reads "
            "back and fails when the controller does not hold the new value; each write "
            "appends a line to fuelctl-audit.log in the settings directory.",
        .subcommands = {
            {.name = "read",
             .operands = "CONTROLLER PARAMETER",
             .summary = "a parameter's value, as the programming dialog shows it",
             .description =
                 "Shows the parameter's value as the programming dialog shows it, and its cells.",
             .options = WithLineOptions({address, {"json"}, settings}),
             .minOperands = 2,
             .maxOperands = 2,
             .run = &RunRead},
            {.name = "write",
             .operands = "CONTROLLER PARAMETER VALUE",
             .summary = "write a parameter, read back and audited",
             .description =
                 "Checks the value first (nothing is sent for a value the cells cannot hold "
                 "whole, a read-only parameter, more decimals than the parameter has; "
                 "plain-byte parameters take hexadecimal, as they are shown), reads the current "
                 "value, shows both with their cells, asks, writes, reads back and fails when "
                 "the controller does not hold the new value; the write is audited.",
             .options = WithLineOptions({address, yes, settings}),
             .minOperands = 3,
             .maxOperands = 3,
             .run = &RunWrite},
            {.name = "adjust",
             .operands = "CONTROLLER PARAMETER --dose V --measured M",
             .summary = "compute an adjustment coefficient and write it",
             .description = "Reads an adjustment coefficient (a parameter of function 1), "
                            "computes measured x coefficient / dose and writes it as 'param "
                            "write' does.",
             .options = WithLineOptions({address, yes, {"dose"}, {"measured"}, settings}),
             .minOperands = 2,
             .maxOperands = 2,
             .run = &RunAdjust},
            {.name = "dump",
             .operands = "CONTROLLER",
             .summary = "every parameter into a text that 'param restore' reads",
             .description = "Reads every parameter of the controller into a text that 'param "
                            "restore' reads back.",
             .options = WithLineOptions(
                 {address, {"output", "write the dump to FILE instead of the output"}, settings}),
             .minOperands = 1,
             .maxOperands = 1,
             .run = &RunDump,
             .withoutJson = "writes the text that 'param restore' reads"},
            {.name = "restore",
             .operands = "FILE",
             .summary = "write back what differs from a dump",
             .description =
                 "Reads a dump that 'param dump' wrote, shows what differs from the controller, "
                 "asks, writes only that, verifies and audits each. The address is the dump's "
                 "unless --address says otherwise.",
             .options = WithLineOptions(
                 {{"address", "the controller's bus address, 0..255; default: the dump's"},
                  yes,
                  settings}),
             .minOperands = 1,
             .maxOperands = 1,
             .run = &RunRestore},
            {.name = "nozzles",
             .operands = "CONTROLLER",
             .summary = "the controller's two active-nozzle cells",
             .description = "Reads the two active-nozzle cells the catalogue names for the "
                            "controller, as the dialog shows them.",
             .options = WithLineOptions({address, {"json"}, settings}),
             .minOperands = 1,
             .maxOperands = 1,
             .run = &RunNozzles},
        }};
}

Command CalculatorCommand() {
    return {.name = "adjust",
            .operands = "COEFFICIENT DOSE MEASURED",
            .summary = "the adjustment calculator: a new coefficient",
            .description =
                "Computes the adjustment coefficient after a test dose: MEASURED (what the "
                "measuring vessel showed) x COEFFICIENT / DOSE (the dose that was set), shown "
                "with four decimals. Nothing is sent; 'param adjust' writes it.",
            .options = {{"json"}},
            .minOperands = 3,
            .maxOperands = 3,
            .run = &RunCalculator};
}

}  // namespace fuel::cli
