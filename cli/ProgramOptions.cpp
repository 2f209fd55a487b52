#include "cli/ProgramOptions.h"

#include <algorithm>

#include "driver/TVM30.h"
#include "link/Line.h"
#include "tool/Adjustment.h"
#include "tool/EditorRules.h"
#include "tool/NumberText.h"

namespace fuel::cli {
namespace {

// Doses are checked against the controller's fields once the dispenser's mode is known; this
// bound only keeps the arithmetic sane.
constexpr double kHighestDose = 1e7;
constexpr double kHighestQuantity = 1e9;

std::uint8_t HexByte(const std::string& text, const std::string& what) {
    const auto value = tool::ParseHexadecimal(text);
    if (!value || *value < 0 || *value > 255) {
        throw UsageError(what + ": '" + text + "' is not a hexadecimal byte (00..FF)");
    }
    return static_cast<std::uint8_t>(*value);
}

// --cells 20,21,22: up to four hexadecimal cell numbers, the most significant first.
CellNumbers CellList(const std::string& list) {
    CellNumbers cells{};
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
    return cells;
}

std::string NonEmpty(const std::string& value, const char* option, const char* what) {
    if (value.empty()) {
        throw UsageError(std::string(option) + " needs " + what);
    }
    return value;
}

template <typename T>
T Whole(const std::string& value, const char* option, std::int64_t low, std::int64_t high) {
    return static_cast<T>(ParseInteger(value, option, low, high));
}

using O = ProgramOptions;
using V = const std::string&;

const ProgramOption kOptions[] = {
    // ---- the driver and its line
    {{"channel", "N", "the channel (line) the dispensers are on, 1..32; default 1"},
     [](O& o, V v) { o.session.channel = Whole<std::uint8_t>(v, "--channel", 1, 32); }},
    {{"config", "FILE", "the emulator's bus configuration; default: the built-in bus"},
     [](O& o, V v) { o.session.configPath = v; }},
    {{"cnf", "FILE",
      "the driver's options file; default $CNF_INI, else /etc/cnf.INI (OrigAdres follows the "
      "bus configuration, since both ends must number the nozzles alike)"},
     [](O& o, V v) { o.session.cnfIniPath = v; }},
    {{"flags", "BYTE", "the driver's flags byte (bits 4..6 set option defaults); default 0"},
     [](O& o, V v) { o.session.flags = Whole<std::uint32_t>(v, "--flags", 0, 255); }},
    {{"trace", "", "print every frame and reply in hex with the reply check's verdict"},
     [](O& o, V) { o.session.trace = true; }},
    {{"trace-file", "FILE",
      "have the driver write its trace to FILE (every operation and exchange, and on the "
      "embedded emulator its side of each exchange; 'fuelctl trace FILE' summarises it); "
      "default: the options file's TraceFile, if it names one"},
     [](O& o, V v) { o.session.traceFile = NonEmpty(v, "--trace-file", "a file"); }},
    {{"trace-max-kb", "N",
      "the size of one trace file in KiB (16..1048576, default 1024), after which it becomes "
      "FILE.1 and a new one begins"},
     [](O& o, V v) { o.session.traceMaxKb = ParseInteger(v, "--trace-max-kb", 16, 1048576); }},
    {{"stats", "", "print the link's counters at the end"}, [](O& o, V) { o.stats = true; }},
    {{"fault", "KIND[@N]",
      "make the emulator answer with a fault: the next reply it fits, or the reply to the "
      "N-th frame of the run; may be repeated"},
     [](O& o, V v) { o.session.faults.push_back(ParseFault(v)); }},
    {{"fault-rate", "KIND=P",
      "make the emulator shape each reply the fault fits with probability P (0..1); may be "
      "repeated"},
     [](O& o, V v) { o.session.faultRates.push_back(ParseFaultRate(v)); }},
    {{"retries", "N", "the link's further attempts after a failed one; default 2"},
     [](O& o, V v) {
         o.session.retries = Whole<int>(v, "--retries", 0, RetryPolicy::kMaxRetries);
     }},
    {{"port", "DEVICE",
      "talk to the dispensers on this serial device (e.g. /dev/ttyUSB0, or the path "
      "fuel-emulator prints), or through a serial-to-Ethernet converter's TCP port "
      "(tcp://HOST:PORT, a raw byte stream), instead of the embedded emulator; --config then "
      "describes what is on the line"},
     [](O& o, V v) { o.session.port = NonEmpty(v, "--port", "a device"); }},
    {{"ports", "FILE",
      "a port map: one line per channel, 'CHANNEL DEVICE [baud=N timeout=MS interbyte=MS "
      "data=N parity=none|even|odd stop=N attempts=N]' or 'CHANNEL tcp://HOST:PORT [baud=N "
      "timeout=MS interbyte=MS connect=MS attempts=N]'; a reply may pause inside for the "
      "reply time-out (timeout, default 75) unless interbyte says otherwise, and connecting "
      "gives up after connect (default 1000)"},
     [](O& o, V v) { o.session.portMap = NonEmpty(v, "--ports", "a file"); }},

    // ---- what every command, or every command that prints results, takes
    {{"json", "",
      "print the result as JSON: one document on one line (monitor: one a refresh; a failure: "
      "{\"error\": {\"class\": ..., \"message\": ...}}); traces and --stats then go to "
      "standard error"},
     [](O& o, V) { o.json = true; }},
    {{"help", "", "show this help"}, [](O& o, V) { o.help = true; }},

    // ---- the driver's commands
    {{"nozzles", "N", "poll nozzles 1..N"},
     [](O& o, V v) { o.nozzles = Whole<int>(v, "--nozzles", 1, kNozzles); }},
    {{"nozzle", "N", "the nozzle"},
     [](O& o, V v) { o.nozzle = Whole<std::uint8_t>(v, "--nozzle", 1, kNozzles); }},
    {{"litres", "LITRES", "the dose in litres"},
     [](O& o, V v) {
         o.litres = DoseValue{ParseQuantity(v, "--litres", kHighestDose), v};
     }},
    {{"money", "AMOUNT", "the dose in money"},
     [](O& o, V v) {
         o.money = DoseValue{ParseQuantity(v, "--money", kHighestDose), v};
     }},
    {{"price", "PRICE", "set the nozzle's unit price first"},
     [](O& o, V v) { o.price = ParseQuantity(v, "--price", kHighestPrice); }},
    {{"rom", "", "ROM instead of RAM"}, [](O& o, V) { o.rom = true; }},
    {{"interval", "SECONDS", "time between refreshes; default 0.5"},
     [](O& o, V v) {
         o.interval = ParseQuantity(v, "--interval", 60);
         if (o.interval < 0.05) {
             throw UsageError("--interval must be at least 0.05 seconds");
         }
     }},
    {{"refreshes", "N", "stop after N refreshes"},
     [](O& o, V v) { o.refreshes = ParseInteger(v, "--refreshes", 1, 1000000); }},
    {{"activity", "", "have customers lift nozzles on the emulated dispensers"},
     [](O& o, V) { o.activity = true; }},
    {{"virtual", "", "run on the virtual clock (no waiting) instead of real time"},
     [](O& o, V) { o.virtualTime = true; }},
    {{"differences", "", "show only the operations decided otherwise"},
     [](O& o, V) { o.differences = true; }},
    {{"database", "FILE", "the journal's database instead of the configuration's"},
     [](O& o, V v) { o.database = NonEmpty(v, "--database", "a file"); }},
    {{"duration", "SECONDS", "stop after SECONDS instead of at Ctrl-C"},
     [](O& o, V v) { o.duration = ParseQuantity(v, "--duration", 1e6); }},
    {{"attend", "",
      "act as an attendant: authorise every fuel point whose nozzle calls, and clear every "
      "sale"},
     [](O& o, V) { o.attend = true; }},

    // ---- the service tool's commands
    {{"settings", "DIR",
      "the catalogue's directory; default $FUELCTL_SETTINGS, else "
      "$XDG_CONFIG_HOME/fuelctl/Settings, else ~/.config/fuelctl/Settings (the example "
      "catalogue is put there when it has none)"},
     [](O& o, V v) { o.settings = NonEmpty(v, "--settings", "a directory"); }},
    {{"address", "A", "the controller's bus address, 0..255; default 1"},
     [](O& o, V v) { o.address = Whole<std::uint32_t>(v, "--address", 0, 255); }},
    {{"yes", "", "write without asking"}, [](O& o, V) { o.yes = true; }},
    {{"force", "", "save even though the catalogue did not load whole"},
     [](O& o, V) { o.force = true; }},
    {{"dose", "V", "the dose that was set"},
     [](O& o, V v) { o.dose = ParseField(v, "--dose", kHighestQuantity); }},
    {{"measured", "M", "what the measuring vessel showed"},
     [](O& o, V v) { o.measured = ParseField(v, "--measured", kHighestQuantity); }},
    {{"output", "FILE", "write to FILE instead of the output"},
     [](O& o, V v) { o.output = NonEmpty(v, "--output", "a file"); }},
    {{"name", "NAME", "the new name"}, [](O& o, V v) { o.name = v; }},
    {{"active-nozzle", "HH", "the cell of the first active nozzle (00: none); default 30"},
     [](O& o, V v) { o.activeNozzle = HexByte(v, "--active-nozzle"); }},
    {{"active-nozzle2", "HH", "the cell of the second active nozzle; default 40"},
     [](O& o, V v) { o.activeNozzle2 = HexByte(v, "--active-nozzle2"); }},
    {{"cells", "C[,C...]", "one to four hexadecimal cell numbers, the most significant first"},
     [](O& o, V v) { o.cells = CellList(v); }},
    {{"dec", "N", "decimal places of the value, 0..8; default 0"},
     [](O& o, V v) { o.decimals = Whole<std::uint8_t>(v, "--dec", 0, tool::kMostDecimals); }},
    {{"ram", "", "the cells are in RAM"}, [](O& o, V) { o.ram = true; }},
    {{"read-only", "", "the value may be read, never written"}, [](O& o, V) { o.readOnly = true; }},
    {{"writable", "", "the value may be written"}, [](O& o, V) { o.writable = true; }},
    {{"adjust", "", "an adjustment coefficient (function 1: 'param adjust' computes it)"},
     [](O& o, V) { o.adjust = true; }},
    {{"no-adjust", "", "no function"}, [](O& o, V) { o.noAdjust = true; }},
    {{"scale", "bcd|binary", "two decimal digits per cell (bcd, the default) or plain bytes"},
     [](O& o, V v) {
         if (v == "bcd" || v == "0") {
             o.scale = 0;
         } else if (v == "binary" || v == "1") {
             o.scale = 1;
         } else {
             throw UsageError("--scale is bcd or binary, not '" + v + "'");
         }
     }},
};

}  // namespace

std::span<const ProgramOption> AllOptions() {
    return kOptions;
}

const ProgramOption* FindProgramOption(std::string_view name) {
    const auto it = std::find_if(std::begin(kOptions), std::end(kOptions),
                                 [&](const ProgramOption& o) { return o.definition.name == name; });
    return it == std::end(kOptions) ? nullptr : &*it;
}

bool IsLineOption(std::string_view name) {
    return std::find(std::begin(kLineOptions), std::end(kLineOptions), name) !=
           std::end(kLineOptions);
}

ProgramOptions ReadOptions(const ParsedArguments& arguments) {
    ProgramOptions options;
    options.session.cnfIniPath = DefaultCnfIniPath();
    for (const auto& [name, value] : arguments.AllGiven()) {
        const ProgramOption* option = FindProgramOption(name);
        if (option == nullptr) {
            throw UsageError("unknown option '--" + name + "'");
        }
        option->read(options, value.value_or(""));
    }
    return options;
}

FieldValue ParseField(std::string_view text, std::string_view what, double high) {
    ParseQuantity(text, what, high);
    std::string plain(text);
    std::replace(plain.begin(), plain.end(), ',', '.');
    return {tool::ParseFieldValue(plain).value_or(0), std::string(text)};
}

}  // namespace fuel::cli
