#include "cli/Program.h"

#include <cmath>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Json.h"
#include "cli/Terminal.h"
#include "driver/Exceptions.h"
#include "driver/Version.h"

namespace fuel::cli {
namespace {

constexpr std::string_view kProgram = "fuelctl";

// Prices go to the controller as four digits of hundredths; anything from 100.00 up would
// arrive as a different price, so the program refuses it rather than set a wrong one.
constexpr double kHighestPrice = 99.99;
// Doses are checked against the controller's fields once the dispenser's mode is known
// (RequireDoseFits); this bound only keeps the arithmetic sane.
constexpr double kHighestDose = 1e7;
constexpr double kHighestLitreUnits = 99999;   // five digits
constexpr double kHighestMoneyUnits = 999999;  // six digits

void PrintStatus(std::ostream& out, const DispenserReading& reading) {
    out << "dispenser " << reading.dispenser << " on channel " << reading.channel << ": "
        << StatusWords(reading.summary) << "\n";
    out << "  mode      " << ModeWords(reading.mode, reading.volumeDecimals, reading.moneyDecimals)
        << "\n";
    for (const NozzleReading& nozzle : reading.nozzles) {
        out << "  nozzle " << nozzle.nozzle << "  " << std::left << std::setw(36)
            << StatusWords(nozzle.code) << std::right << std::setw(9) << Fixed(nozzle.volume)
            << " l\n";
    }
}

// ---- the commands

int RunStatus(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint8_t dispenser = DispenserOperand(operands[0]);
    std::optional<int> count;
    if (const auto value = context.arguments.Value("nozzles")) {
        count = static_cast<int>(ParseInteger(*value, "--nozzles", 1, kNozzles));
    }
    Session& session = context.session();
    const int polled = count ? *count : NozzlesToPoll(session, dispenser);
    const StatusRecordEx record = PollDispenser(session, dispenser, polled);
    const DispenserReading reading = DescribePoll(session, dispenser, record, polled);
    if (context.json) {
        context.out << ToJson(reading) << "\n";
    } else {
        PrintStatus(context.out, reading);
    }
    return kExitSuccess;
}

// The driver decides by the controller's mode what a command sends, and it learns the mode
// from a poll; a host polls all the time, a single command must do it first.
void LearnMode(Session& session, std::uint8_t dispenser) {
    if (!session.ModeKnown(dispenser)) {
        PollDispenser(session, dispenser);
        session.MarkModeKnown(dispenser);
    }
}

bool InModeZero(Session& session, std::uint8_t dispenser) {
    return session.Driver().InModeZero(session.Channel(), dispenser);
}

int RunStart(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint8_t dispenser = DispenserOperand(operands[0]);
    const std::uint8_t nozzle = NozzleOperand(operands[1]);
    Session& session = context.session();
    LearnMode(session, dispenser);
    session.Driver().StartFill(session.Channel(), dispenser, nozzle, 0);
    if (InModeZero(session, dispenser)) {
        context.out << "dispenser " << int{dispenser} << " is in mode '0': nothing is sent, "
                    << "the driver now counts nozzle " << int{nozzle} << " as running\n";
    } else {
        context.out << "dispenser " << int{dispenser} << " nozzle " << int{nozzle}
                    << ": start sent\n";
    }
    return kExitSuccess;
}

// The controller takes a dose as five (litres) or six (money) digits of units: hundredths,
// or in modes 0x40..0x47 the dispenser's own decimals, and with WDoza a second time in
// hundredths. A dose beyond the field would arrive with its top digits cut off, as a smaller
// dose, so it is refused here.
void RequireDoseFits(double dose, bool decimalsMode, std::uint8_t decimals, bool sentTwice,
                     double highestUnits, const char* what) {
    const double scale = decimalsMode ? std::pow(10.0, decimals) : 100.0;
    double highest = highestUnits / scale;
    if (sentTwice) {
        highest = std::min(highest, highestUnits / 100.0);
    }
    if (std::nearbyint(dose * scale) > highestUnits ||
        (sentTwice && std::nearbyint(dose * 100.0) > highestUnits)) {
        std::ostringstream message;
        message << "a dose of " << Fixed(dose, 3) << " in " << what
                << " does not fit the controller's field: at most " << highest
                << " on this dispenser";
        throw UsageError(message.str());
    }
}

int RunDose(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint8_t dispenser = DispenserOperand(operands[0]);
    const std::uint8_t nozzle = NozzleOperand(operands[1]);
    const auto litres = context.arguments.Value("litres");
    const auto money = context.arguments.Value("money");
    if (litres.has_value() == money.has_value()) {
        throw UsageError("give the dose either in --litres or in --money");
    }
    std::optional<double> price;
    if (const auto value = context.arguments.Value("price")) {
        price = ParseQuantity(*value, "--price", kHighestPrice);
    }
    const double dose = litres ? ParseQuantity(*litres, "--litres", kHighestDose)
                               : ParseQuantity(*money, "--money", kHighestDose);

    Session& session = context.session();
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    LearnMode(session, dispenser);
    if (price) {
        driver.SetPrice(channel, dispenser, nozzle, 0, 0, *price);
    }
    // A money dose that goes out as litres is divided by the nozzle's price; without one
    // there is no litre figure to send.
    const bool asLitres = !litres && (driver.StartInLiter || InModeZero(session, dispenser));
    const double nozzlePrice = driver.NozzlePrice[channel][dispenser][nozzle];
    if (asLitres && nozzlePrice <= 0) {
        throw UsageError(
            "a money dose goes out as litres here and needs the nozzle's price: "
            "add --price");
    }
    if (!InModeZero(session, dispenser)) {
        const bool decimalsMode = driver.HasDecimalsMode(channel, dispenser);
        if (litres || asLitres) {
            const double sent = litres ? dose : dose / nozzlePrice;
            RequireDoseFits(sent, decimalsMode, driver.VolumeDecimals[channel][dispenser],
                            driver.WDoza, kHighestLitreUnits, "litres");
        } else {
            RequireDoseFits(dose, decimalsMode, driver.MoneyDecimals[channel][dispenser],
                            driver.WDoza, kHighestMoneyUnits, "money");
        }
    }
    if (litres) {
        driver.SetVolumeLimit(channel, dispenser, nozzle, 0, dose);
    } else {
        driver.SetMoneyLimit(channel, dispenser, nozzle, 0, dose);
    }
    std::ostream& out = context.out;
    out << "dispenser " << int{dispenser} << " nozzle " << int{nozzle} << ": dose "
        << (litres ? *litres + " l" : *money + " in money") << " set";
    if (InModeZero(session, dispenser)) {
        out << " (mode '0': kept by the driver, nothing sent)";
    } else if (!litres && driver.StartInLiter) {
        out << " (sent as " << Fixed(driver.VolumeLimit[channel][dispenser], 2) << " l)";
    }
    out << "\n";
    return kExitSuccess;
}

int RunPrice(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint8_t dispenser = DispenserOperand(operands[0]);
    const std::uint8_t nozzle = NozzleOperand(operands[1]);
    const double price = ParseQuantity(operands[2], "price", kHighestPrice);
    Session& session = context.session();
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    LearnMode(session, dispenser);
    driver.SetPrice(channel, dispenser, nozzle, 0, 0, price);
    if (InModeZero(session, dispenser)) {
        context.out << "dispenser " << int{dispenser} << " nozzle " << int{nozzle} << ": price "
                    << Fixed(price, 2) << " kept by the driver (mode '0': nothing sent)\n";
        return kExitSuccess;
    }
    // The driver gives up quietly after three sends that the controller did not confirm; a
    // person at the command line must hear of it.
    const std::int32_t readBack = driver.ReadPrice(channel, dispenser, nozzle);
    const auto wanted = static_cast<std::int32_t>(std::nearbyint(price * 100));
    if (readBack != wanted) {
        std::ostringstream message;
        message << "the controller did not take the price " << Fixed(price, 2) << ": it reads back "
                << Fixed(readBack / 100.0, 2);
        throw Failure(message.str());
    }
    context.out << "dispenser " << int{dispenser} << " nozzle " << int{nozzle} << ": price "
                << Fixed(price, 2) << " set and read back\n";
    return kExitSuccess;
}

bool IsFillCode(std::uint8_t code) {
    return (code > status_code::kFillEnded && code <= status_code::kFillEnded + kNozzles) ||
           (code > status_code::kFillRunning && code <= status_code::kFillRunning + kNozzles);
}

// The dispensing data belong to the nozzle the host started. A fresh run has started none,
// so the nozzle is the one given, else the one the poll finds filling.
std::uint8_t FillNozzle(CommandContext& context, std::uint8_t dispenser,
                        const StatusRecordEx& record) {
    if (const auto value = context.arguments.Value("nozzle")) {
        return NozzleOperand(*value);
    }
    if (IsFillCode(record.bytes[0])) {
        return record.bytes[14];
    }
    Session& session = context.session();
    return session.Driver().CurrentNozzle[session.Channel()][dispenser];
}

struct FillTarget {
    StatusRecordEx record;
    std::uint8_t nozzle;
};

// The data, the final data and the stop act on the driver's current nozzle, and a fresh run
// has started none: poll the dispenser and point the current nozzle at the one filling (or
// the one --nozzle names).
FillTarget AimAtFill(CommandContext& context, std::uint8_t dispenser) {
    if (const auto value = context.arguments.Value("nozzle")) {
        NozzleOperand(*value);
    }
    Session& session = context.session();
    const StatusRecordEx record = PollDispenser(session, dispenser);
    session.MarkModeKnown(dispenser);
    const std::uint8_t nozzle = FillNozzle(context, dispenser, record);
    session.Driver().CurrentNozzle[session.Channel()][dispenser] = nozzle;
    return {record, nozzle};
}

int RunData(CommandContext& context, bool final) {
    const std::uint8_t dispenser = DispenserOperand(context.arguments.Operands()[0]);
    const auto [record, nozzle] = AimAtFill(context, dispenser);
    Session& session = context.session();
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();

    FillReading reading;
    reading.dispenser = dispenser;
    reading.nozzle = nozzle;
    reading.summary = record.bytes[0];
    reading.final = final;
    if (final) {
        driver.GetFinalDispensedData(channel, dispenser, reading.volume.value,
                                     reading.amount.value);
        reading.limitsCleared = !InModeZero(session, dispenser);
    } else {
        reading.volume.value = driver.GetDispensedData(channel, dispenser, reading.amount.value);
    }
    RequireGoodLink(session, "the dispensing data");
    reading.volume.decimals = VolumeDecimalsShown(session, dispenser);
    reading.amount.decimals = MoneyDecimalsShown(session, dispenser);
    if (context.json) {
        context.out << ToJson(reading) << "\n";
        return kExitSuccess;
    }
    context.out << "dispenser " << reading.dispenser << " nozzle " << reading.nozzle << ": "
                << Fixed(reading.volume) << " l, amount " << Fixed(reading.amount) << "  ("
                << StatusWords(reading.summary) << ")\n";
    if (final) {
        context.out
            << (reading.limitsCleared
                    ? "  dose limits cleared\n"
                    : "  dose limits kept (mode '0': the driver judges the fill by them)\n");
    }
    return kExitSuccess;
}

int RunDispensed(CommandContext& context) {
    return RunData(context, false);
}
int RunFinal(CommandContext& context) {
    return RunData(context, true);
}

// A stop goes to one nozzle's code: like the data, it is meant for the nozzle the poll finds
// filling.
int RunStop(CommandContext& context) {
    const std::uint8_t dispenser = DispenserOperand(context.arguments.Operands()[0]);
    const std::uint8_t nozzle = AimAtFill(context, dispenser).nozzle;
    Session& session = context.session();
    session.Driver().StopFill(session.Channel(), dispenser, 0, 1);
    if (InModeZero(session, dispenser)) {
        context.out << "dispenser " << int{dispenser}
                    << " is in mode '0': nothing is sent, the driver ends its fill\n";
    } else {
        context.out << "dispenser " << int{dispenser} << " nozzle " << int{nozzle}
                    << ": stop sent\n";
    }
    return kExitSuccess;
}

int RunTotaliser(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint8_t dispenser = DispenserOperand(operands[0]);
    const std::uint8_t nozzle = NozzleOperand(operands[1]);
    Session& session = context.session();
    LearnMode(session, dispenser);
    TotaliserReading reading{dispenser, nozzle, {0, VolumeDecimalsShown(session, dispenser)}};
    double moneyTotal = 0;  // always 0 from this driver
    session.Driver().GetTotalizer(session.Channel(), dispenser, nozzle, reading.volume.value,
                                  moneyTotal, 0, 0);
    RequireGoodLink(session, "the totaliser");
    if (context.json) {
        context.out << ToJson(reading) << "\n";
        return kExitSuccess;
    }
    context.out << "dispenser " << reading.dispenser << " nozzle " << reading.nozzle
                << ": volume total " << Fixed(reading.volume) << " l\n";
    return kExitSuccess;
}

std::int32_t CellOperand(const CommandContext& context, const std::string& word) {
    const bool rom = context.arguments.Has("rom");
    const auto cell = static_cast<std::int32_t>(ParseInteger(word, "cell", 0, rom ? 255 : 511));
    return rom ? 256 + cell : cell;
}

std::string CellName(std::int32_t cell) {
    char text[48];
    if (cell >= 256) {
        std::snprintf(text, sizeof text, "ROM cell %d (0x%02X)", cell - 256, cell - 256);
    } else {
        std::snprintf(text, sizeof text, "RAM cell %d (0x%02X)", cell, cell);
    }
    return text;
}

int RunCell(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::string& action = operands[0];
    if (action != "read" && action != "write") {
        throw UsageError("say 'cell read' or 'cell write', not 'cell " + action + "'");
    }
    const bool write = action == "write";
    if (write) {
        RefuseJson(context, "cell write");
    }
    if (operands.size() != (write ? 4u : 3u)) {
        throw UsageError(write ? "cell write needs ADDRESS CELL VALUE"
                               : "cell read needs ADDRESS CELL");
    }
    const auto address = static_cast<std::uint32_t>(ParseInteger(operands[1], "address", 0, 255));
    const std::int32_t cell = CellOperand(context, operands[2]);
    std::int32_t value = 0;
    if (write) {
        value = static_cast<std::int32_t>(ParseInteger(operands[3], "value", 0, 255));
    }
    Session& session = context.session();
    TVM30& driver = session.Driver();
    char shown[48];
    if (write) {
        driver.WriteParameter(session.Channel(), address, cell, value);
        std::snprintf(shown, sizeof shown, "%d (0x%02X) written", value, value);
    } else {
        value = driver.ReadParameter(session.Channel(), address, cell);
        RequireGoodLink(session, "the cell read");
        if (context.json) {
            context.out << ToJson(CellReading{address, cell, value}) << "\n";
            return kExitSuccess;
        }
        std::snprintf(shown, sizeof shown, "%d (0x%02X)", value, value);
    }
    context.out << "address " << address << ", " << CellName(cell) << ": " << shown << "\n";
    return kExitSuccess;
}

int RunInfo(CommandContext& context) {
    Session& session = context.session();
    TVM30& driver = session.Driver();
    DriverDescription info{std::string(kVersion),
                           driver.GetProtocolDescription(),
                           driver.OrigAdres,
                           driver.StartInLiter,
                           driver.WStart,
                           driver.WDoza,
                           {},
                           session.Dispensers()};
    for (std::uint32_t key = 1; key <= 10; ++key) {
        std::uint32_t value = 0;
        if (driver.GetDriverInfo(key, value)) {
            info.properties.emplace_back(key, value);
        }
    }
    std::ostream& out = context.out;
    if (context.json) {
        out << ToJson(info) << "\n";
        return kExitSuccess;
    }
    out << "version      " << info.version << "\n";
    out << "protocol     " << info.protocol << "\n";
    out << "options      OrigAdres=" << info.origAdres << " StartInLiter=" << info.startInLiter
        << " WStart=" << info.wStart << " WDoza=" << info.wDoza << "\n";
    out << "properties  ";
    for (const auto& [key, value] : info.properties) {
        out << " " << key << "=" << value;
    }
    out << "\n";
    out << "bus         ";
    for (const DispenserOnBus& dispenser : info.bus) {
        out << " " << dispenser.number << " (" << dispenser.nozzles << " nozzles)";
    }
    out << "\n";
    return kExitSuccess;
}

int RunHelp(CommandContext& context);
int RunShell(CommandContext& context);

const std::vector<OptionDefinition> kCommonOptions = {
    {"channel", "N", "the channel (line) the dispensers are on, 1..32; default 1"},
    {"config", "FILE", "the emulator's bus configuration; default: the built-in bus"},
    {"cnf", "FILE",
     "the driver's options file; default $CNF_INI, else /etc/cnf.INI (OrigAdres follows the "
     "bus configuration, since both ends must number the nozzles alike)"},
    {"flags", "BYTE", "the driver's flags byte (bits 4..6 set option defaults); default 0"},
    {"trace", "", "print every frame and reply in hex with the reply check's verdict"},
    {"trace-file", "FILE",
     "have the driver write its trace to FILE (every operation and exchange, and on the "
     "embedded emulator its side of each exchange; 'fuelctl trace FILE' summarises it); "
     "default: the options file's TraceFile, if it names one"},
    {"trace-max-kb", "N",
     "the size of one trace file in KiB (16..1048576, default 1024), after which it becomes "
     "FILE.1 and a new one begins"},
    {"stats", "", "print the link's counters at the end"},
    {"fault", "KIND[@N]",
     "make the emulator answer with a fault: the next reply it fits, or the reply to the "
     "N-th frame of the run; may be repeated"},
    {"fault-rate", "KIND=P",
     "make the emulator shape each reply the fault fits with probability P (0..1); may be "
     "repeated"},
    {"retries", "N", "the link's further attempts after a failed one; default 2"},
    {"port", "DEVICE",
     "talk to the dispensers on this serial device (e.g. /dev/ttyUSB0, or the path "
     "fuel-emulator prints), or through a serial-to-Ethernet converter's TCP port "
     "(tcp://HOST:PORT, a raw byte stream), instead of the embedded emulator; --config then "
     "describes what is on the line"},
    {"ports", "FILE",
     "a port map: one line per channel, 'CHANNEL DEVICE [baud=N timeout=MS interbyte=MS "
     "data=N parity=none|even|odd stop=N attempts=N]' or 'CHANNEL tcp://HOST:PORT [baud=N "
     "timeout=MS interbyte=MS connect=MS attempts=N]'; a reply may pause inside for the "
     "reply time-out (timeout, default 75) unless interbyte says otherwise, and connecting "
     "gives up after connect (default 1000)"},
    {"help", "", "show this help"},
};

const std::vector<Command> kBaseCommands = {
    {"status",
     "DISPENSER",
     "poll every nozzle of a dispenser",
     "Polls nozzles 1..N of the dispenser as a host does (reading the controller's mode "
     "cells when the driver's back-off says so) and shows each nozzle's status and volume.",
     {{"nozzles", "N",
       "poll nozzles 1..N; default: the dispenser's nozzles on the bus (1 in mode '0', where "
       "the driver keeps one status word for the dispenser)"}},
     1,
     1,
     &RunStatus,
     true},
    {"start",
     "DISPENSER NOZZLE",
     "authorise a fill on a nozzle",
     "Sends the host's start request for the nozzle. A dispenser in mode '0' gets no "
     "command: its controller starts by itself and the driver marks the nozzle running. "
     "The dispenser is polled once first, so that the driver knows its mode.",
     {},
     2,
     2,
     &RunStart},
    {"stop",
     "DISPENSER",
     "stop the dispenser's fill",
     "Polls the dispenser, then sends the host's unconditional stop request to the nozzle "
     "that is filling (else to the one last started). A dispenser in mode '0' gets no "
     "command: the driver ends the fill it keeps for nozzle 1.",
     {{"nozzle", "N", "stop this nozzle instead"}},
     1,
     1,
     &RunStop},
    {"dose",
     "DISPENSER NOZZLE",
     "set the next fill's dose in litres or money",
     "Sets a dose limit for the nozzle's next fill. With the option StartInLiter (on unless "
     "flags bit 4 is set) a money dose is divided by the nozzle's price and sent in litres, "
     "so it needs the price: give --price, which sets it first.",
     {{"litres", "LITRES",
       "the dose in litres (five digits on the controller: up to 999.99, "
       "less in modes with more decimals)"},
      {"money", "AMOUNT",
       "the dose in money (six digits on the controller: up to 9999.99 "
       "in hundredths; as litres when StartInLiter is on)"},
      {"price", "PRICE", "set the nozzle's unit price first"}},
     2,
     2,
     &RunDose},
    {"price",
     "DISPENSER NOZZLE PRICE",
     "set a nozzle's unit price",
     "Sets the unit price (0..99.99: four digits of hundredths) and reads it back. Fails "
     "when the controller does not hold the price afterwards.",
     {},
     3,
     3,
     &RunPrice},
    {"data",
     "DISPENSER",
     "volume and amount of the running or last fill",
     "Polls the dispenser, then reads the fill's volume and the amount reconciled with the "
     "controller's own figure.",
     {{"nozzle", "N",
       "the nozzle whose fill to read; default: the one the poll finds "
       "filling, else the last started"}},
     1,
     1,
     &RunDispensed,
     true},
    {"final",
     "DISPENSER",
     "final data of the fill, clearing the dose limits",
     "As 'data', then the driver forgets the dispenser's dose limits (not in mode '0').",
     {{"nozzle", "N", "as for 'data'"}},
     1,
     1,
     &RunFinal,
     true},
    {"totaliser",
     "DISPENSER NOZZLE",
     "a nozzle's volume totaliser",
     "Reads the nozzle's volume totaliser from the controller.",
     {},
     2,
     2,
     &RunTotaliser,
     true},
    {"cell",
     "read ADDRESS CELL | write ADDRESS CELL VALUE",
     "read or write a memory cell",
     "Reads or writes one controller memory cell. ADDRESS is the controller's bus address "
     "(its dispenser number), CELL 0..255 a RAM cell or 256 + k ROM cell k; numbers may be "
     "given in hex as 0x... Only 'cell read' takes --json.",
     {{"rom", "", "CELL is a ROM cell number 0..255"}},
     3,
     4,
     &RunCell,
     true},
    {"info",
     "",
     "the driver's description, options and properties",
     "Shows the protocol description, the four options, the driver-property table and the "
     "dispensers on the bus.",
     {},
     0,
     0,
     &RunInfo,
     true},
    {"monitor",
     "",
     "a live table of every dispenser on the channel",
     "Polls every dispenser on the bus over and over and redraws the table in place (one "
     "table after another when the output is not a terminal). Ends with Ctrl-C. With --json, "
     "each refresh is one JSON document on a line of its own (JSON Lines), a dispenser that "
     "failed carrying its error, and nothing is redrawn.",
     {{"interval", "SECONDS", "time between refreshes; default 0.5"},
      {"refreshes", "N", "stop after N refreshes"},
      {"activity", "", "have customers lift nozzles on the emulated dispensers"}},
     0,
     0,
     &RunMonitor,
     true},
    {"demo",
     "",
     "a whole fill on two emulated dispensers",
     "On dispensers 1 and 5 of the built-in bus (the bus fuel-emulator serves when it is "
     "given no configuration): both get prices, one a dose in litres and one in money, both "
     "are started and polled with a progress line until the doses are reached, then the "
     "final data and the totalisers are read.",
     {{"virtual", "", "run on the virtual clock (no waiting) instead of real time"}},
     0,
     0,
     &RunDemo},
    {"shell",
     "",
     "run commands read from standard input on one bus",
     "Reads one command a line (the same words as on the command line, '#' starts a "
     "comment) and runs them all on one driver and one emulated bus, so that a start, the "
     "fill and its data belong together. Extra commands: 'wait SECONDS' lets bus time pass, "
     "'lift DISPENSER NOZZLE [LITRES]' (with a dose keyed in at the pump) and 'hangup "
     "DISPENSER NOZZLE' act as the customer. The exit "
     "status is the worst of the commands'.",
     {},
     0,
     0,
     &RunShell},
    TraceSummaryCommand(),
    ReplayCommand(),
    {"help",
     "[COMMAND]",
     "show help",
     "Shows the commands, or one command's help.",
     {},
     0,
     1,
     &RunHelp},
};

// The driver's commands, then the service tool's after the cell commands they build on.
const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = [] {
        std::vector<Command> all;
        for (const Command& command : kBaseCommands) {
            all.push_back(command);
            if (command.name == "cell") {
                for (auto more : {CatalogueCommands(), ParamCommands()}) {
                    all.insert(all.end(), more.begin(), more.end());
                }
            }
        }
        return all;
    }();
    return commands;
}

const Command* FindCommand(std::string_view name) {
    if (name == "totalizer") {
        name = "totaliser";
    }
    for (const Command& command : AllCommands()) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

// Each option on its own line, its help wrapped at 90 columns under the help column.
void PrintOptions(std::ostream& out, const std::vector<OptionDefinition>& options) {
    constexpr std::size_t kHelpColumn = 23;
    constexpr std::size_t kWidth = 90;
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

// Wraps a paragraph at 90 columns, indented by two.
void PrintParagraph(std::ostream& out, std::string_view text) {
    std::istringstream words{std::string(text)};
    std::string word;
    std::size_t column = 0;
    while (words >> word) {
        if (column > 0 && column + 1 + word.size() > 90) {
            out << "\n";
            column = 0;
        }
        out << (column == 0 ? "  " : " ") << word;
        column += (column == 0 ? 2 : 1) + word.size();
    }
    out << "\n";
}

void PrintFaultKinds(std::ostream& out);

void PrintProgramHelp(std::ostream& out) {
    out << "Usage: " << kProgram << " COMMAND [OPERANDS] [OPTIONS]\n"
        << "       " << kProgram << " --version | --help\n\n"
        << "Drives the fuel-dispenser driver against the embedded controller emulator (or a\n"
        << "serial line). The service tool's commands (catalogue, param) keep the catalogue\n"
        << "and the audit log in a settings directory: --settings DIR, else $FUELCTL_SETTINGS,\n"
        << "else $XDG_CONFIG_HOME/fuelctl/Settings, else ~/.config/fuelctl/Settings; an\n"
        << "empty one gets the example catalogue for the built-in bus.\n\n"
        << "For scripts, the commands that print results (status, data, final, totaliser,\n"
        << "cell read, info, catalogue, param read, param nozzles, adjust, monitor) take\n"
        << "--json: the result as one JSON document on one line (monitor: one a refresh), a\n"
        << "failure as {\"error\": {\"class\": ..., \"message\": ...}}, the exit status\n"
        << "unchanged. The other commands refuse --json as a usage error.\n\n"
        << "Commands:\n";
    for (const Command& command : AllCommands()) {
        out << "  " << std::left << std::setw(11) << command.name << std::right << command.summary
            << "\n";
    }
    out << "\nOptions (accepted by every command):\n";
    PrintOptions(out, kCommonOptions);
    out << "\n";
    PrintFaultKinds(out);
    out << "Exit status: 0 success, 1 the dispenser or the line failed, 2 usage error.\n"
        << "'" << kProgram << " COMMAND --help' shows a command's help.\n";
}

void PrintFaultKinds(std::ostream& out) {
    out << "Fault kinds for --fault:";
    for (const emulator::Fault fault : emulator::kAllFaults) {
        out << " " << emulator::FaultName(fault);
    }
    out << "\n";
}

void PrintCommandHelp(std::ostream& out, const Command& command) {
    out << "Usage: " << kProgram << " " << command.name;
    if (!command.operands.empty()) {
        out << " " << command.operands;
    }
    out << " [OPTIONS]\n\n";
    PrintParagraph(out, command.description);
    std::vector<OptionDefinition> options = command.options;
    if (command.json) {
        options.push_back(JsonOption());
    }
    if (!options.empty()) {
        out << "\nOptions:\n";
        PrintOptions(out, options);
    }
    out << "\nCommon options:\n";
    PrintOptions(out, kCommonOptions);
    out << "\n";
    PrintFaultKinds(out);
    out << "\nExit status: 0 success, 1 the dispenser or the line failed, 2 usage error.\n";
}

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
    PrintCommandHelp(context.out, *command);
    return kExitSuccess;
}

// --json is known to every command, so that one which prints no results can say so instead
// of calling the option unknown.
std::vector<OptionDefinition> OptionsOf(const Command& command) {
    std::vector<OptionDefinition> options = command.options;
    options.push_back(JsonOption());
    options.insert(options.end(), kCommonOptions.begin(), kCommonOptions.end());
    return options;
}

SessionOptions CommonSettings(const ParsedArguments& arguments) {
    SessionOptions options;
    if (const auto value = arguments.Value("channel")) {
        options.channel = static_cast<std::uint8_t>(ParseInteger(*value, "--channel", 1, 32));
    }
    options.configPath = arguments.Value("config");
    options.cnfIniPath = arguments.Value("cnf").value_or(DefaultCnfIniPath());
    if (const auto value = arguments.Value("flags")) {
        options.flags = static_cast<std::uint32_t>(ParseInteger(*value, "--flags", 0, 255));
    }
    options.trace = arguments.Has("trace");
    options.traceFile = arguments.Value("trace-file");
    if (const auto value = arguments.Value("trace-max-kb")) {
        options.traceMaxKb = ParseInteger(*value, "--trace-max-kb", 16, 1048576);
    }
    options.faults = arguments.Values("fault");
    options.faultRates = arguments.Values("fault-rate");
    options.port = arguments.Value("port");
    options.portMap = arguments.Value("ports");
    if (const auto value = arguments.Value("retries")) {
        options.retries = static_cast<int>(ParseInteger(*value, "--retries", 0, 10));
    }
    return options;
}

// A silent dispenser fails with the message of whatever the driver tried first (often the
// mode read: "cannot read the parameter"); when the bus has no such dispenser, say so.
std::string AbsentDispenserHint(const Command& command, const ParsedArguments& arguments,
                                Session* session) {
    if (session == nullptr || !command.operands.starts_with("DISPENSER") ||
        arguments.Operands().empty()) {
        return "";
    }
    const int dispenser = DispenserOperand(arguments.Operands()[0]);
    if (session->NozzleCount(dispenser) > 0) {
        return "";
    }
    return "the bus configuration has no dispenser " + std::to_string(dispenser) +
           "; 'fuelctl info' lists the dispensers";
}

// A failure for the person (err: the message with the command's name) and, when the command
// line asked for JSON, for the script too: the same as one document on out.
struct Reporter {
    std::ostream& out;
    std::ostream& err;
    bool json;

    int operator()(int status, const ErrorReport& error, const std::string& text) const {
        err << text;
        if (json) {
            out << ToJson(error) << "\n";
        }
        return status;
    }
};

// Runs one command line; problems are reported on err with the command's name. json: the
// command line asked for JSON, so failures are told in JSON on out as well.
int Dispatch(std::span<const std::string> words, std::istream& in, std::ostream& out,
             std::ostream& err, Session* sharedSession, bool json) {
    if (words.empty()) {
        PrintProgramHelp(err);
        return kExitUsage;
    }
    const std::string& name = words[0];
    if (name == "--help" || name == "-h") {
        PrintProgramHelp(out);
        return kExitSuccess;
    }
    if (name == "--version") {
        out << kProgram << " " << kVersion << "\n";
        return kExitSuccess;
    }
    const Command* command = FindCommand(name);
    const Reporter report{out, err, json};
    std::string where = std::string(kProgram);
    std::string hint;
    try {
        if (command == nullptr) {
            throw UsageError("no command '" + name + "'");
        }
        where += " " + std::string(command->name);
        const std::vector<OptionDefinition> options = OptionsOf(*command);
        const ParsedArguments arguments = ParseArguments(words.subspan(1), options);
        if (arguments.Has("help")) {
            PrintCommandHelp(out, *command);
            return kExitSuccess;
        }
        if (arguments.Has("json") && !command->json) {
            throw UsageError("'" + std::string(command->name) +
                             "' prints no results, so it takes no --json");
        }
        const std::size_t count = arguments.Operands().size();
        if (count < command->minOperands || count > command->maxOperands) {
            throw UsageError(count < command->minOperands ? "missing operands"
                                                          : "too many operands");
        }
        if (sharedSession != nullptr) {
            for (const OptionDefinition& option : kCommonOptions) {
                if (option.name != "help" && arguments.Has(option.name)) {
                    throw UsageError("--" + std::string(option.name) +
                                     " holds for the whole shell: give it to 'shell'");
                }
            }
            if (arguments.Has("json")) {
                throw UsageError("--json is for a single command: a shell's output is text");
            }
        }
        std::unique_ptr<Session> ownSession;
        CommandContext context{CommonSettings(arguments), arguments, in, out, err, {}};
        context.json = arguments.Has("json");
        // With JSON on out, the trace and the counters go to err: out holds the document alone.
        std::ostream& notes = context.json ? err : out;
        context.session = [&]() -> Session& {
            if (sharedSession != nullptr) {
                return *sharedSession;
            }
            if (!ownSession) {
                ownSession = std::make_unique<Session>(context.sessionOptions, notes);
            }
            return *ownSession;
        };
        const auto printStats = [&] {
            if (ownSession && arguments.Has("stats")) {
                ownSession->PrintStats(notes);
            }
        };
        int status = kExitSuccess;
        try {
            status = command->run(context);
        } catch (const Exception&) {
            Session* used = sharedSession != nullptr ? sharedSession : ownSession.get();
            hint = AbsentDispenserHint(*command, arguments, used);
            printStats();
            throw;
        } catch (...) {
            printStats();
            throw;
        }
        printStats();
        return status;
    } catch (const UsageError& error) {
        const std::string help = command != nullptr ? " " + std::string(command->name) : "";
        return report(
            kExitUsage, {"UsageError", error.what(), ""},
            where + ": " + error.what() + "\nTry '" + std::string(kProgram) + help + " --help'.\n");
    } catch (const emulator::ConfigError& error) {
        return report(kExitUsage, {"ConfigError", error.what(), ""},
                      where + ": " + error.what() + "\n");
    } catch (const Exception& error) {
        // A range error has no hint: the operands are checked before the driver sees them, so
        // one left over comes from a number the bus made (a dispenser the configuration
        // allows, say).
        const bool range = dynamic_cast<const ERangeError*>(&error) != nullptr;
        const std::string shownHint = range ? "" : hint;
        return report(kExitFailure, {error.ClassName(), error.Message(), shownHint},
                      where + ": " + error.Message() + " (" + error.ClassName() + ")\n" +
                          (shownHint.empty() ? "" : "  (" + shownHint + ")\n"));
    } catch (const Failure& error) {
        return report(kExitFailure, {"Failure", error.what(), ""},
                      where + ": " + error.what() + "\n");
    }
}

// Splits a shell line into words: blanks separate, double quotes group, '#' comments.
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char c : line) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        throw UsageError("unclosed quote");
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

int Worse(int a, int b) {
    // A usage error outranks a failure: it means the script itself is wrong.
    if (a == kExitUsage || b == kExitUsage) {
        return kExitUsage;
    }
    return std::max(a, b);
}

int RunShellLine(const std::vector<std::string>& words, CommandContext& context) {
    Session& session = context.session();
    const std::string& name = words[0];
    if (name == "wait") {
        if (words.size() != 2) {
            throw UsageError("wait needs SECONDS");
        }
        const double seconds = ParseQuantity(words[1], "seconds", 3600);
        session.Pass(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
        return kExitSuccess;
    }
    if (name == "lift" || name == "hangup") {
        const bool lift = name == "lift";
        if (words.size() != 3 && !(lift && words.size() == 4)) {
            throw UsageError(lift ? "lift needs DISPENSER NOZZLE [LITRES]"
                                  : "hangup needs DISPENSER NOZZLE");
        }
        const std::uint8_t dispenser = DispenserOperand(words[1]);
        const std::uint8_t nozzle = NozzleOperand(words[2]);
        if (lift) {
            const double preset =
                words.size() == 4 ? ParseQuantity(words[3], "the preset litres", 9999) : 0;
            session.LiftNozzle(dispenser, nozzle, preset);
        } else {
            session.HangUpNozzle(dispenser, nozzle);
        }
        return kExitSuccess;
    }
    if (name == "demo" || name == "shell" || name == "monitor") {
        throw UsageError("'" + name + "' does not run inside the shell");
    }
    return Dispatch(words, context.in, context.out, context.err, &session, false);
}

int RunShell(CommandContext& context) {
    Session& session = context.session();
    int status = kExitSuccess;
    std::string line;
    int lineNumber = 0;
    while (std::getline(context.in, line)) {
        ++lineNumber;
        try {
            const std::vector<std::string> words = SplitLine(line);
            if (words.empty()) {
                continue;
            }
            if (words[0] == "quit" || words[0] == "exit") {
                break;
            }
            context.out << "> " << line << "\n";
            status = Worse(status, RunShellLine(words, context));
        } catch (const UsageError& error) {
            context.err << "line " << lineNumber << ": " << error.what() << "\n";
            status = Worse(status, kExitUsage);
        } catch (const Exception& error) {
            context.err << "line " << lineNumber << ": " << error.Message() << " ("
                        << error.ClassName() << ")\n";
            status = Worse(status, kExitFailure);
        }
    }
    (void)session;
    return status;
}

}  // namespace

const std::vector<Command>& Commands() {
    return AllCommands();
}
const std::vector<OptionDefinition>& CommonOptions() {
    return kCommonOptions;
}

std::uint8_t DispenserOperand(const std::string& word) {
    return static_cast<std::uint8_t>(ParseInteger(word, "dispenser", 1, kDispensers));
}

std::uint8_t NozzleOperand(const std::string& word) {
    return static_cast<std::uint8_t>(ParseInteger(word, "nozzle", 1, kNozzles));
}

int NozzlesToPoll(Session& session, std::uint8_t dispenser) {
    // In mode '0' the driver keeps one status word for the dispenser and reads it by the
    // poll's nozzle count, so a host polls such a dispenser with a count of 1.
    const std::uint8_t cached = session.Driver().DispenserMode[session.Channel()][dispenser];
    const bool modeZero =
        cached == kModeZero || (cached == 0 && session.NozzleCount(dispenser) > 0 &&
                                session.Bus().Mode(dispenser) == kModeZero);
    return modeZero ? 1 : std::max(1, session.NozzleCount(dispenser));
}

StatusRecordEx PollDispenser(Session& session, std::uint8_t dispenser, int count) {
    if (count == 0) {
        count = NozzlesToPoll(session, dispenser);
    }
    StatusRecordEx record;
    session.Driver().PollDispenserStatusEx(session.Channel(), dispenser,
                                           static_cast<std::uint8_t>(count), record);
    RequireGoodLink(session, "the status poll");
    return record;
}

void RequireGoodLink(Session& session, std::string_view what) {
    if (session.Driver().LinkState[session.Channel()] != link_state::kGood) {
        throw Failure("the reply to " + std::string(what) +
                      " was garbled or implausible (link state " +
                      std::to_string(session.Driver().LinkState[session.Channel()]) + ")");
    }
}

DispenserReading DescribePoll(Session& session, std::uint8_t dispenser,
                              const StatusRecordEx& record, int polled) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    DispenserReading reading;
    reading.dispenser = dispenser;
    reading.channel = channel;
    reading.summary = record.bytes[0];
    reading.mode = driver.DispenserMode[channel][dispenser];
    reading.volumeDecimals = driver.VolumeDecimals[channel][dispenser];
    reading.moneyDecimals = driver.MoneyDecimals[channel][dispenser];
    const int decimals = VolumeDecimalsShown(session, dispenser);
    for (int nozzle = 1; nozzle <= polled; ++nozzle) {
        const auto at = static_cast<std::size_t>(2 + 2 * (nozzle - 1));
        // The word's low byte is the host status code; the high byte is the driver's own.
        reading.nozzles.push_back({nozzle,
                                   record.bytes[at],
                                   {driver.NozzleVolume[channel][dispenser][nozzle], decimals}});
    }
    return reading;
}

// A controller in modes 0x40..0x47 counts in its own decimals (three for litres, say); two
// decimals would hide the last digit it sent.
int VolumeDecimalsShown(Session& session, std::uint8_t dispenser) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    return driver.HasDecimalsMode(channel, dispenser)
               ? std::max(2, int{driver.VolumeDecimals[channel][dispenser]})
               : 2;
}

int MoneyDecimalsShown(Session& session, std::uint8_t dispenser) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    return driver.HasDecimalsMode(channel, dispenser)
               ? std::max(2, int{driver.MoneyDecimals[channel][dispenser]})
               : 2;
}

void RefuseJson(const CommandContext& context, const std::string& action, const std::string& why) {
    if (context.json) {
        throw UsageError("'" + action + "' " + why + ", so it takes no --json");
    }
}

void RequireSomeoneToAsk(const CommandContext& context, std::string_view what) {
    if (!context.arguments.Has("yes") && !IsTerminalInput(context.in)) {
        throw UsageError("standard input is not a terminal, so nobody can confirm" +
                         (what.empty() ? "" : " " + std::string(what)) + ": give --yes");
    }
}

bool Consent(CommandContext& context, const std::string& question) {
    if (context.arguments.Has("yes")) {
        return true;
    }
    context.out << question << " [y/N] " << std::flush;
    std::string answer;
    std::getline(context.in, answer);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "д" || answer == "да";
}

int RunProgram(std::span<const std::string> words, std::istream& in, std::ostream& out,
               std::ostream& err) {
    const bool json = JsonRequested(words);
    try {
        return Dispatch(words, in, out, err, nullptr, json);
    } catch (const std::exception& error) {
        // Whatever else went wrong (a configuration the emulator refused, a file that could not
        // be read) is reported, never left to abort the program.
        return Reporter{out, err, json}(kExitFailure, {"Error", error.what(), ""},
                                        std::string(kProgram) + ": " + error.what() + "\n");
    }
}

}  // namespace fuel::cli
