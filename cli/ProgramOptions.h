// Every option the program knows, listed once: its name, the word for its value, what it
// means, and how its value is read into ProgramOptions. A command names the options it takes
// (cli/Commands.h); their values are read here, once, and the commands use the typed result.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/Arguments.h"
#include "cli/Session.h"

namespace fuel::cli {

// Prices go to the controller as four digits of hundredths; anything from 100.00 up would
// arrive as a different price, so the program refuses it rather than set a wrong one.
inline constexpr double kHighestPrice = 99.99;

// A number as a field of the service tool holds it: in extended precision, with the user's
// words kept for what the program echoes.
struct FieldValue {
    long double value = 0;
    std::string text;
};

// A dose as given: its value, and the words the confirmation repeats.
struct DoseValue {
    double value = 0;
    std::string text;
};

// Up to four cell numbers of a catalogue parameter, the most significant first; the rest 0.
using CellNumbers = std::array<std::uint8_t, 4>;

struct ProgramOptions {
    // The driver, its line and the controllers behind it.
    SessionOptions session;
    bool stats = false;

    bool help = false;
    bool json = false;

    // The driver's commands.
    std::optional<int> nozzles;             // status
    std::optional<std::uint8_t> nozzle;     // stop, data, final
    std::optional<DoseValue> litres;        // dose
    std::optional<DoseValue> money;         // dose
    std::optional<double> price;            // dose
    bool rom = false;                       // cell: a ROM cell; catalogue: cells in ROM
    double interval = 0.5;                  // monitor, seconds
    std::optional<std::int64_t> refreshes;  // monitor
    bool activity = false;                  // monitor
    bool virtualTime = false;               // demo
    bool differences = false;               // replay
    std::optional<std::string> database;    // forecourt
    std::optional<double> duration;         // forecourt, seconds
    bool attend = false;                    // forecourt

    // The service tool's commands.
    std::optional<std::string> settings;
    std::optional<std::uint32_t> address;
    bool yes = false;
    bool force = false;
    std::optional<std::string> output;
    std::optional<FieldValue> dose;
    std::optional<FieldValue> measured;
    std::optional<std::string> name;
    std::optional<std::uint8_t> activeNozzle;
    std::optional<std::uint8_t> activeNozzle2;
    std::optional<CellNumbers> cells;
    std::optional<std::uint8_t> decimals;
    bool ram = false;
    bool readOnly = false;
    bool writable = false;
    bool adjust = false;
    bool noAdjust = false;
    std::optional<std::uint8_t> scale;  // 0 BCD, 1 binary
};

struct ProgramOption {
    OptionDefinition definition;
    // Reads the value (empty for a switch) into the options; UsageError when it is no value
    // of the option's kind.
    void (*read)(ProgramOptions& options, const std::string& value);
};

// Every option, in the order the help lists them.
std::span<const ProgramOption> AllOptions();
const ProgramOption* FindProgramOption(std::string_view name);

// The options that set up the driver and the line it talks on, in the order help lists them;
// every command that opens a session takes them (the demo all but those of its own bus).
inline constexpr std::string_view kLineOptions[] = {
    "channel", "config", "cnf",        "flags",   "trace", "trace-file", "trace-max-kb",
    "stats",   "fault",  "fault-rate", "retries", "port",  "ports"};
bool IsLineOption(std::string_view name);

// The options given, read in the order they were given (so that the last of a repeated one
// holds and a repeatable one keeps them all). Defaults that depend on the machine (the
// driver's options file) are filled in.
ProgramOptions ReadOptions(const ParsedArguments& arguments);

// A decimal number for the service tool's fields: a quantity from 0 to `high`, a comma taken
// as a point, its value in extended precision.
FieldValue ParseField(std::string_view text, std::string_view what, double high);

}  // namespace fuel::cli
