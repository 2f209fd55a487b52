// The service tool's catalogue on the command line: the controllers and their parameters,
// and the editors' changes to them, saved as the programming dialog saves.
#include <array>
#include <ctime>
#include <iomanip>
#include <istream>
#include <ostream>
#include <set>

#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Json.h"
#include "cli/Program.h"
#include "cli/Settings.h"
#include "driver/Exceptions.h"
#include "tool/ControllerFileName.h"
#include "tool/EditorRules.h"
#include "tool/NumberText.h"
#include "tool/Utf8Path.h"

namespace fuel::cli {
namespace {

using tool::CController;
using tool::CControllerList;
using tool::CParameter;

std::string FunctionWords(std::int32_t function) {
    return function == 1   ? "adjustment"
           : function == 0 ? "-"
                           : "function " + std::to_string(function);
}

void PrintParameter(std::ostream& out, int position, const CParameter& p) {
    std::string cells = p.PZU ? "ROM" : "RAM";
    for (int k = 0; k < tool::CellCount(p.Type); ++k) {
        cells += " " + Hex(p.Cells[static_cast<std::size_t>(k)]);
    }
    if (tool::CellCount(p.Type) == 0) {
        cells += " -";
    }
    out << "    " << std::setw(2) << position << "  " << std::setw(4) << int{p.Type} << "  "
        << std::setw(3) << int{p.Dec} << "  " << std::left << std::setw(16) << cells << std::setw(7)
        << (tool::IsBinaryScale(p.Scale) ? "binary" : "BCD") << std::setw(11)
        << (p.ReadOnly ? "read-only" : "read-write") << std::setw(11) << FunctionWords(p.Function)
        << std::right << " " << p.Name << "\n";
}

int List(CommandContext& context, const CControllerList& list) {
    std::ostream& out = context.out;
    if (context.json) {
        // What loaded is listed all the same; the script hears of the rest beside it.
        std::optional<ErrorReport> error;
        if (list.Incomplete()) {
            error = ErrorReport{
                "Failure", "the catalogue did not load whole: " + list.Incomplete()->Describe(),
                ""};
        }
        out << ToJson(list, error ? &*error : nullptr) << "\n";
        return error ? kExitFailure : kExitSuccess;
    }
    out << "catalogue " << tool::Utf8FromPath(list.CatalogueFile()) << ": " << list.Count()
        << (list.Count() == 1 ? " controller" : " controllers") << "\n";
    for (int c = 0; c < list.Count(); ++c) {
        const CController& controller = list[c];
        out << std::setw(2) << c << "  " << controller.Name << "   (file \"" << controller.File
            << "\", active-nozzle cells " << Hex(controller.ActiveNozzle) << " "
            << Hex(controller.ActiveNozzle2) << ")\n";
        if (controller.Params.Count() > 0) {
            out << "     #  type  dec  cells           scale  access     function    name\n";
        }
        for (int p = 0; p < controller.Params.Count(); ++p) {
            PrintParameter(out, p, controller.Params[p]);
        }
    }
    // A catalogue that did not load whole is no success, even though what loaded is shown.
    return list.Incomplete() ? kExitFailure : kExitSuccess;
}

void Save(CommandContext& context, CControllerList& list) {
    if (list.Incomplete()) {
        if (!context.arguments.Has("force")) {
            throw Failure("the catalogue did not load whole (" + list.Incomplete()->Describe() +
                          "); saving it would drop everything after that place. Mend the "
                          "file, or give --force to save what loaded");
        }
        list.Save(CControllerList::Overwrite::EvenIncomplete);
    } else {
        list.Save();
    }
    context.out << "saved " << tool::Utf8FromPath(list.Directory()) << "\n";
}

std::string CheckedName(const std::string& name) {
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) {
            throw UsageError("a name is one line of text without control characters");
        }
    }
    if (!tool::FitsCp1251(name)) {
        throw UsageError("'" + name +
                         "' has characters the catalogue's Windows-1251 files cannot hold");
    }
    return name;
}

std::uint8_t HexByte(const std::string& text, const std::string& what) {
    const auto value = tool::ParseHexadecimal(text);
    if (!value || *value < 0 || *value > 255) {
        throw UsageError(what + ": '" + text + "' is not a hexadecimal byte (00..FF)");
    }
    return static_cast<std::uint8_t>(*value);
}

// --cells 20,21,22: up to four hexadecimal cell numbers, the most significant first.
void ApplyCells(const std::string& list, CParameter& parameter) {
    std::array<std::uint8_t, 4> cells{};
    std::size_t count = 0;
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        if (count == cells.size()) {
            throw UsageError("--cells takes at most four cell numbers");
        }
        cells[count++] = HexByte(list.substr(at, comma - at), "--cells");
        at = comma + 1;
    }
    for (std::size_t k = 0; k < cells.size(); ++k) {
        parameter.Cells[k] = cells[k];
    }
}

void ApplyActiveNozzles(const ParsedArguments& arguments, CController& controller) {
    if (const auto value = arguments.Value("active-nozzle")) {
        controller.ActiveNozzle = HexByte(*value, "--active-nozzle");
    }
    if (const auto value = arguments.Value("active-nozzle2")) {
        controller.ActiveNozzle2 = HexByte(*value, "--active-nozzle2");
    }
}

void RequireOneOf(const ParsedArguments& arguments, const char* a, const char* b) {
    if (arguments.Has(a) && arguments.Has(b)) {
        throw UsageError(std::string("--") + a + " and --" + b + " exclude each other");
    }
}

// The parameter editor's fields; the type follows the cells, as the editor makes it.
void ApplyParameterFields(CommandContext& context, CParameter& parameter) {
    const ParsedArguments& arguments = context.arguments;
    if (const auto value = arguments.Value("name")) {
        parameter.Name = CheckedName(*value);
    }
    if (const auto value = arguments.Value("cells")) {
        ApplyCells(*value, parameter);
    }
    if (const auto value = arguments.Value("dec")) {
        parameter.Dec =
            static_cast<std::uint8_t>(ParseInteger(*value, "--dec", 0, tool::kMostDecimals));
    }
    RequireOneOf(arguments, "rom", "ram");
    RequireOneOf(arguments, "read-only", "writable");
    RequireOneOf(arguments, "adjust", "no-adjust");
    if (arguments.Has("rom") || arguments.Has("ram")) {
        parameter.PZU = arguments.Has("rom");
    }
    if (arguments.Has("read-only") || arguments.Has("writable")) {
        parameter.ReadOnly = arguments.Has("read-only");
    }
    if (arguments.Has("adjust") || arguments.Has("no-adjust")) {
        parameter.Function = arguments.Has("adjust") ? 1 : 0;
    }
    if (const auto value = arguments.Value("scale")) {
        if (*value == "bcd" || *value == "0") {
            parameter.Scale = 0;
        } else if (*value == "binary" || *value == "1") {
            parameter.Scale = 1;
        } else {
            throw UsageError("--scale is bcd or binary, not '" + *value + "'");
        }
    }
    const std::uint8_t type = tool::TypeFromCells(parameter.Cells);
    if (type != parameter.Type && parameter.Type != 0) {
        context.out << "note: the type of " << parameter.Name << " becomes " << int{type}
                    << " (it was " << int{parameter.Type}
                    << "): the editor derives the type from the cells\n";
    }
    parameter.Type = type;
}

void RequireOptions(const CommandContext& context, const std::string& subcommand,
                    const std::set<std::string_view>& allowed) {
    static constexpr std::string_view kOwn[] = {
        "name",      "active-nozzle", "active-nozzle2", "cells",     "dec",   "rom", "ram",
        "read-only", "writable",      "adjust",         "no-adjust", "scale", "yes", "force"};
    for (const std::string_view option : kOwn) {
        if (context.arguments.Has(option) && !allowed.contains(option)) {
            throw UsageError("--" + std::string(option) + " is not for 'catalogue" +
                             (subcommand.empty() ? "" : " " + subcommand) + "'");
        }
    }
}

const std::set<std::string_view> kParameterFields = {"name",      "cells",     "dec",      "rom",
                                                     "ram",       "read-only", "writable", "adjust",
                                                     "no-adjust", "scale",     "force"};

int RunCatalogue(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::string action = operands.empty() ? "" : operands[0];
    const auto operandCount = [&](std::size_t low, std::size_t high, const char* usage) {
        if (operands.size() < low || operands.size() > high) {
            throw UsageError(std::string("usage: fuelctl catalogue ") + usage);
        }
    };
    if (!action.empty()) {
        RefuseJson(context, "catalogue " + action);
    }
    if (action == "delete") {
        operandCount(2, 3, "delete CONTROLLER [PARAMETER]");
        RequireOptions(context, action, {"yes", "force"});
        RequireSomeoneToAsk(context);
    }

    CControllerList list(SettingsDirectory(context.arguments));
    LoadCatalogue(list, context.err);
    std::ostream& out = context.out;

    if (action.empty()) {
        RequireOptions(context, action, {});
        return List(context, list);
    }
    if (action == "add-controller") {
        operandCount(2, 2, "add-controller NAME");
        RequireOptions(context, action, {"active-nozzle", "active-nozzle2", "force"});
        auto controller = std::make_unique<CController>();
        controller->Name = CheckedName(operands[1]);
        controller->File = tool::NewControllerFileName(controller->Name, list);
        ApplyActiveNozzles(context.arguments, *controller);
        const CController& added = list.Add(std::move(controller));
        out << "added controller " << list.Count() - 1 << " " << added.Name << " (file \""
            << added.File << "\")\n";
        Save(context, list);
        return kExitSuccess;
    }
    if (action == "add-parameter") {
        operandCount(3, 3, "add-parameter CONTROLLER NAME --cells C[,C...]");
        RequireOptions(context, action, kParameterFields);
        if (!context.arguments.Has("cells")) {
            throw UsageError("a new parameter needs --cells");
        }
        CController& controller = list[FindController(list, operands[1])];
        auto parameter = std::make_unique<CParameter>();
        parameter->Name = CheckedName(operands[2]);
        ApplyParameterFields(context, *parameter);
        const CParameter& added = controller.Params.Add(std::move(parameter));
        out << "added parameter " << controller.Params.Count() - 1 << " " << added.Name << " (type "
            << int{added.Type} << ") to " << controller.Name << "\n";
        Save(context, list);
        return kExitSuccess;
    }
    if (action == "edit") {
        operandCount(2, 3, "edit CONTROLLER [PARAMETER]");
        CController& controller = list[FindController(list, operands[1])];
        if (operands.size() == 2) {
            RequireOptions(context, action, {"name", "active-nozzle", "active-nozzle2", "force"});
            if (const auto name = context.arguments.Value("name")) {
                controller.Name = CheckedName(*name);  // the file keeps its name
            }
            ApplyActiveNozzles(context.arguments, controller);
            out << "controller " << controller.Name << ": active-nozzle cells "
                << Hex(controller.ActiveNozzle) << " " << Hex(controller.ActiveNozzle2)
                << ", file \"" << controller.File << "\"\n";
        } else {
            RequireOptions(context, action, kParameterFields);
            const int position =
                FindParameter(list, FindController(list, operands[1]), operands[2]);
            CParameter& parameter = controller.Params[position];
            ApplyParameterFields(context, parameter);
            out << "parameter " << position << " " << parameter.Name << " of " << controller.Name
                << " edited\n";
        }
        Save(context, list);
        return kExitSuccess;
    }
    if (action == "delete") {
        const int c = FindController(list, operands[1]);
        if (operands.size() == 2) {
            const std::string question = "Delete controller " + list[c].Name + " with its " +
                                         std::to_string(list[c].Params.Count()) +
                                         " parameter(s) from the catalogue?";
            if (!Consent(context, question)) {
                out << "nothing deleted\n";
                return kExitFailure;
            }
            out << "deleted controller " << list[c].Name << " (its file \"" << list[c].File
                << "\" stays on disk)\n";
            list.Delete(c);
        } else {
            const int p = FindParameter(list, c, operands[2]);
            if (!Consent(context, "Delete parameter " + list[c].Params[p].Name + " of " +
                                      list[c].Name + "?")) {
                out << "nothing deleted\n";
                return kExitFailure;
            }
            out << "deleted parameter " << list[c].Params[p].Name << " of " << list[c].Name << "\n";
            list[c].Params.Delete(p);
        }
        Save(context, list);
        return kExitSuccess;
    }
    throw UsageError("'catalogue " + action +
                     "': the actions are add-controller, add-parameter, edit and delete");
}

}  // namespace

std::vector<Command> CatalogueCommands() {
    return {
        {"catalogue",
         "[add-controller NAME | add-parameter CONTROLLER NAME | edit CONTROLLER [PARAMETER] | "
         "delete CONTROLLER [PARAMETER]]",
         "the service tool's catalogue of controllers and parameters",
         "Without an action, lists the catalogue of the settings directory (VPP.ini and one "
         "parameter file per controller, Windows-1251 INI files as the Windows tools keep them "
         "in C:\\KORA\\Settings\\): each controller with its parameter file and active-nozzle "
         "cells, each parameter with its type, decimals, cells, RAM or ROM, read-only, "
         "function and scale. The actions change it and save it as the programming dialog "
         "saves: a new controller's parameter file is named after it (made safe and unique); a "
         "parameter's type follows its cells (1 to 4 cells); a deleted controller's file stays "
         "on disk. A catalogue that did not load whole is listed as far as it loaded (exit "
         "status 1) and is not saved over without --force. CONTROLLER and PARAMETER are names "
         "or positions. --json lists the catalogue as JSON (cell numbers in decimal); the "
         "actions do not take it.",
         {{"name", "NAME", "edit: the new name (a controller's file keeps its name)"},
          {"active-nozzle", "HH", "the cell of the first active nozzle (00: none); default 30"},
          {"active-nozzle2", "HH", "the cell of the second active nozzle; default 40"},
          {"cells", "C[,C...]", "one to four hexadecimal cell numbers, the most significant first"},
          {"dec", "N", "decimal places of the value, 0..8; default 0"},
          {"rom", "", "the cells are in ROM"},
          {"ram", "", "edit: the cells are in RAM"},
          {"read-only", "", "the value may be read, never written"},
          {"writable", "", "edit: the value may be written"},
          {"adjust", "", "an adjustment coefficient (function 1: 'param adjust' computes it)"},
          {"no-adjust", "", "edit: no function"},
          {"scale", "bcd|binary", "two decimal digits per cell (bcd, the default) or plain bytes"},
          {"yes", "", "delete without asking"},
          {"force", "", "save even though the catalogue did not load whole"},
          SettingsOption()},
         0,
         3,
         &RunCatalogue,
         true},
    };
}

}  // namespace fuel::cli
