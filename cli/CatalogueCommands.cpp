// The service tool's catalogue on the command line: the controllers and their parameters,
// and the editors' changes to them, saved as the programming dialog saves.
#include <iomanip>
#include <ostream>
#include <span>

#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Json.h"
#include "cli/Program.h"
#include "cli/Settings.h"
#include "driver/Exceptions.h"
#include "tool/ControllerFileName.h"
#include "tool/EditorRules.h"
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

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

int List(CommandContext& context, const CControllerList& list) {
    std::ostream& out = context.out;
    // Parameters left unread (a file that is not in the directory) make a listing as
    // incomplete as a load that stopped.
    const std::string unread = Joined(list.UnreadParameterFiles());
    const bool whole = !list.Incomplete() && unread.empty();
    if (context.json) {
        // What loaded is listed all the same; the script hears of the rest beside it.
        std::optional<ErrorReport> error;
        if (list.Incomplete()) {
            error = ErrorReport{
                "Failure", "the catalogue did not load whole: " + list.Incomplete()->Describe(),
                ""};
        } else if (!unread.empty()) {
            error = ErrorReport{"Failure", "parameters not read: " + unread, ""};
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
    return whole ? kExitSuccess : kExitFailure;
}

void Save(CommandContext& context, CControllerList& list) {
    if (const auto conflicts = list.FileConflicts(); !conflicts.empty()) {
        throw Failure("the catalogue is not saved, no file changed: " + Joined(conflicts) +
                      ". 'fuelctl catalogue edit CONTROLLER' gives a controller a parameter "
                      "file of its own");
    }
    if (list.Incomplete()) {
        if (!context.options.force) {
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

void ApplyActiveNozzles(const ProgramOptions& options, CController& controller) {
    if (options.activeNozzle) {
        controller.ActiveNozzle = *options.activeNozzle;
    }
    if (options.activeNozzle2) {
        controller.ActiveNozzle2 = *options.activeNozzle2;
    }
}

void RequireOneOf(bool a, bool b, const char* aName, const char* bName) {
    if (a && b) {
        throw UsageError(std::string("--") + aName + " and --" + bName + " exclude each other");
    }
}

// The parameter editor's fields; the type follows the cells, as the editor makes it.
void ApplyParameterFields(CommandContext& context, CParameter& parameter) {
    const ProgramOptions& options = context.options;
    if (options.name) {
        parameter.Name = CheckedName(*options.name);
    }
    if (options.cells) {
        for (std::size_t k = 0; k < options.cells->size(); ++k) {
            parameter.Cells[k] = (*options.cells)[k];
        }
    }
    if (options.decimals) {
        parameter.Dec = *options.decimals;
    }
    RequireOneOf(options.rom, options.ram, "rom", "ram");
    RequireOneOf(options.readOnly, options.writable, "read-only", "writable");
    RequireOneOf(options.adjust, options.noAdjust, "adjust", "no-adjust");
    if (options.rom || options.ram) {
        parameter.PZU = options.rom;
    }
    if (options.readOnly || options.writable) {
        parameter.ReadOnly = options.readOnly;
    }
    if (options.adjust || options.noAdjust) {
        parameter.Function = options.adjust ? 1 : 0;
    }
    if (options.scale) {
        parameter.Scale = *options.scale;
    }
    const std::uint8_t type = tool::TypeFromCells(parameter.Cells);
    if (type != parameter.Type && parameter.Type != 0) {
        context.out << "note: the type of " << parameter.Name << " becomes " << int{type}
                    << " (it was " << int{parameter.Type}
                    << "): the editor derives the type from the cells\n";
    }
    parameter.Type = type;
}

// The catalogue of the settings directory, as the commands change it.
CControllerList LoadedCatalogue(CommandContext& context) {
    CControllerList list(SettingsDirectory(context.options.settings));
    LoadCatalogue(list, context.err);
    return list;
}

int RunList(CommandContext& context) {
    const CControllerList list = LoadedCatalogue(context);
    return List(context, list);
}

int RunAddController(CommandContext& context) {
    CControllerList list = LoadedCatalogue(context);
    auto controller = std::make_unique<CController>();
    controller->Name = CheckedName(context.arguments.Operands()[0]);
    controller->File = tool::NewControllerFileName(controller->Name, list);
    ApplyActiveNozzles(context.options, *controller);
    const CController& added = list.Add(std::move(controller));
    context.out << "added controller " << list.Count() - 1 << " " << added.Name << " (file \""
                << added.File << "\")\n";
    Save(context, list);
    return kExitSuccess;
}

int RunAddParameter(CommandContext& context) {
    if (!context.options.cells) {
        throw UsageError("a new parameter needs --cells");
    }
    const auto& operands = context.arguments.Operands();
    CControllerList list = LoadedCatalogue(context);
    CController& controller = list[FindController(list, operands[0])];
    auto parameter = std::make_unique<CParameter>();
    parameter->Name = CheckedName(operands[1]);
    ApplyParameterFields(context, *parameter);
    const CParameter& added = controller.Params.Add(std::move(parameter));
    context.out << "added parameter " << controller.Params.Count() - 1 << " " << added.Name
                << " (type " << int{added.Type} << ") to " << controller.Name << "\n";
    Save(context, list);
    return kExitSuccess;
}

// The editors' fields: a controller's, a parameter's; --name and --force are both's.
constexpr std::string_view kControllerFields[] = {"active-nozzle", "active-nozzle2"};
constexpr std::string_view kParameterFields[] = {
    "cells", "dec", "rom", "ram", "read-only", "writable", "adjust", "no-adjust", "scale"};

// 'catalogue edit' takes the fields of both editors; which one it runs, its operands say.
void RequireFieldsOf(const CommandContext& context, bool parameter) {
    const auto refuse = [&](std::span<const std::string_view> fields, const char* whose) {
        for (const std::string_view field : fields) {
            if (context.arguments.Has(field)) {
                throw UsageError("--" + std::string(field) + " is a field of " + whose);
            }
        }
    };
    if (parameter) {
        refuse(kControllerFields, "a controller: 'catalogue edit CONTROLLER' edits it");
    } else {
        refuse(kParameterFields, "a parameter: 'catalogue edit CONTROLLER PARAMETER' edits it");
    }
}

int RunEdit(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const bool editsParameter = operands.size() == 2;
    RequireFieldsOf(context, editsParameter);
    CControllerList list = LoadedCatalogue(context);
    const int c = FindController(list, operands[0]);
    CController& controller = list[c];
    if (!editsParameter) {
        if (context.options.name) {
            controller.Name = CheckedName(*context.options.name);  // the file keeps its name
        }
        ApplyActiveNozzles(context.options, controller);
        if (tool::GiveOwnFileWhenNeeded(controller, list)) {
            context.out << "note: " << controller.Name << " gets a parameter file of its own\n";
        }
        context.out << "controller " << controller.Name << ": active-nozzle cells "
                    << Hex(controller.ActiveNozzle) << " " << Hex(controller.ActiveNozzle2)
                    << ", file \"" << controller.File << "\"\n";
    } else {
        const int position = FindParameter(list, c, operands[1]);
        CParameter& parameter = controller.Params[position];
        ApplyParameterFields(context, parameter);
        context.out << "parameter " << position << " " << parameter.Name << " of "
                    << controller.Name << " edited\n";
    }
    Save(context, list);
    return kExitSuccess;
}

int RunDelete(CommandContext& context) {
    RequireSomeoneToAsk(context);
    const auto& operands = context.arguments.Operands();
    CControllerList list = LoadedCatalogue(context);
    std::ostream& out = context.out;
    const int c = FindController(list, operands[0]);
    if (operands.size() == 1) {
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
        const int p = FindParameter(list, c, operands[1]);
        if (!Consent(context,
                     "Delete parameter " + list[c].Params[p].Name + " of " + list[c].Name + "?")) {
            out << "nothing deleted\n";
            return kExitFailure;
        }
        out << "deleted parameter " << list[c].Params[p].Name << " of " << list[c].Name << "\n";
        list[c].Params.Delete(p);
    }
    Save(context, list);
    return kExitSuccess;
}

// The parameter editor's fields as options.
std::vector<OptionUse> ParameterFields() {
    return {{"cells"},  {"dec"},       {"rom", "the cells are in ROM"},
            {"ram"},    {"read-only"}, {"writable"},
            {"adjust"}, {"no-adjust"}, {"scale"}};
}

std::vector<OptionUse> Join(std::vector<OptionUse> a, const std::vector<OptionUse>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

Command CatalogueCommand() {
    const std::vector<OptionUse> saving = {{"force"}, {"settings"}};
    return {
        .name = "catalogue",
        .summary = "the service tool's catalogue of controllers and parameters",
        .description =
            "Without a subcommand, lists the catalogue of the settings directory (VPP.ini and "
            "one parameter file per controller, Windows-1251 INI files as the Windows tools "
            "keep them in C:\\KORA\\Settings\\): each controller with its parameter file and "
            "active-nozzle cells, each parameter with its type, decimals, cells, RAM or ROM, "
            "read-only, function and scale; --json lists it as JSON (cell numbers in decimal). "
            "The subcommands change it and save it as the programming dialog saves: a new "
            "controller's parameter file is named after it (made safe and unique); a "
            "parameter's type follows its cells (1 to 4 cells); a deleted controller's file "
            "stays on disk. A parameter file is always one of the settings directory: a name with "
            "a leading / or \\ is taken inside it, and a name that leaves it (a drive, ..) is "
            "neither read nor written; while two controllers share a file, or one names such a "
            "file, the catalogue is not saved until 'edit CONTROLLER' gives it a file of its own. "
            "A catalogue that did not load whole is listed as far as it loaded "
            "(exit status 1) and is not saved over without --force. CONTROLLER and PARAMETER "
            "are names or positions.",
        .options = {{"json"}, {"settings"}},
        .run = &RunList,
        .subcommands = {
            {.name = "add-controller",
             .operands = "NAME",
             .summary = "add a controller",
             .description = "Adds a controller to the catalogue, its parameter file named after "
                            "it (made safe and unique), and saves the catalogue.",
             .options = Join({{"active-nozzle"}, {"active-nozzle2"}}, saving),
             .minOperands = 1,
             .maxOperands = 1,
             .run = &RunAddController},
            {.name = "add-parameter",
             .operands = "CONTROLLER NAME --cells C[,C...]",
             .summary = "add a parameter to a controller",
             .description = "Adds a parameter to the controller, its type following its cells "
                            "(1 to 4), and saves the catalogue.",
             .options = Join(ParameterFields(), saving),
             .minOperands = 2,
             .maxOperands = 2,
             .run = &RunAddParameter},
            {.name = "edit",
             .operands = "CONTROLLER [PARAMETER]",
             .summary = "change a controller or a parameter",
             .description =
                 "Changes a controller (its name, its active-nozzle cells; its file keeps its "
                 "name) or, with PARAMETER, a parameter (as the parameter editor does: the "
                 "type follows the cells), and saves the catalogue.",
             .options = Join(Join({{"name", "the new name (a controller's file keeps its name)"},
                                   {"active-nozzle"},
                                   {"active-nozzle2"}},
                                  ParameterFields()),
                             saving),
             .minOperands = 1,
             .maxOperands = 2,
             .run = &RunEdit},
            {.name = "delete",
             .operands = "CONTROLLER [PARAMETER]",
             .summary = "delete a controller or a parameter",
             .description = "Deletes a controller with its parameters (its file stays on disk), "
                            "or one parameter, after asking; and saves the catalogue.",
             .options = Join({{"yes", "delete without asking"}}, saving),
             .minOperands = 1,
             .maxOperands = 2,
             .run = &RunDelete},
        }};
}

}  // namespace fuel::cli
