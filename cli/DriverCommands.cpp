// The driver's commands: each runs the host operations a station's host would, on the
// session's line, and shows what the driver made of the replies.
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Json.h"
#include "cli/Program.h"
#include "driver/Exceptions.h"
#include "driver/Version.h"

namespace fuel::cli {
namespace {

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

int RunStatus(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint8_t dispenser = DispenserOperand(operands[0]);
    const std::optional<int> count = context.options.nozzles;
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
    const std::optional<DoseValue>& litres = context.options.litres;
    const std::optional<DoseValue>& money = context.options.money;
    if (litres.has_value() == money.has_value()) {
        throw UsageError("give the dose either in --litres or in --money");
    }
    const std::optional<double>& price = context.options.price;
    const double dose = litres ? litres->value : money->value;

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
    const double nozzlePrice = driver.Tables().NozzlePrice[channel][dispenser][nozzle];
    if (asLitres && nozzlePrice <= 0) {
        throw UsageError(
            "a money dose goes out as litres here and needs the nozzle's price: "
            "add --price");
    }
    if (!InModeZero(session, dispenser)) {
        const bool decimalsMode = driver.HasDecimalsMode(channel, dispenser);
        if (litres || asLitres) {
            const double sent = litres ? dose : dose / nozzlePrice;
            RequireDoseFits(sent, decimalsMode, driver.Tables().VolumeDecimals[channel][dispenser],
                            driver.WDoza, kHighestLitreUnits, "litres");
        } else {
            RequireDoseFits(dose, decimalsMode, driver.Tables().MoneyDecimals[channel][dispenser],
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
        << (litres ? litres->text + " l" : money->text + " in money") << " set";
    if (InModeZero(session, dispenser)) {
        out << " (mode '0': kept by the driver, nothing sent)";
    } else if (!litres && driver.StartInLiter) {
        out << " (sent as " << Fixed(driver.Tables().VolumeLimit[channel][dispenser], 2) << " l)";
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
    if (context.options.nozzle) {
        return *context.options.nozzle;
    }
    if (IsFillCode(record.bytes[0])) {
        return record.bytes[14];
    }
    Session& session = context.session();
    return session.Driver().Tables().CurrentNozzle[session.Channel()][dispenser];
}

struct FillTarget {
    StatusRecordEx record;
    std::uint8_t nozzle;
};

// The data, the final data and the stop act on the driver's current nozzle, and a fresh run
// has started none: poll the dispenser and point the current nozzle at the one filling (or
// the one --nozzle names).
FillTarget AimAtFill(CommandContext& context, std::uint8_t dispenser) {
    Session& session = context.session();
    const StatusRecordEx record = PollDispenser(session, dispenser);
    session.MarkModeKnown(dispenser);
    const std::uint8_t nozzle = FillNozzle(context, dispenser, record);
    session.Driver().SelectNozzle(session.Channel(), dispenser, nozzle);
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
    const bool rom = context.options.rom;
    const auto cell = static_cast<std::int32_t>(ParseInteger(word, "cell", 0, rom ? 255 : 511));
    return rom ? 256 + cell : cell;
}

std::uint32_t AddressOperand(const std::string& word) {
    return static_cast<std::uint32_t>(ParseInteger(word, "address", 0, 255));
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

std::string ByteWords(std::int32_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%d (0x%02X)", value, value);
    return text;
}

int RunCellRead(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint32_t address = AddressOperand(operands[0]);
    const std::int32_t cell = CellOperand(context, operands[1]);
    Session& session = context.session();
    const std::int32_t value = session.Driver().ReadParameter(session.Channel(), address, cell);
    RequireGoodLink(session, "the cell read");
    if (context.json) {
        context.out << ToJson(CellReading{address, cell, value}) << "\n";
        return kExitSuccess;
    }
    context.out << "address " << address << ", " << CellName(cell) << ": " << ByteWords(value)
                << "\n";
    return kExitSuccess;
}

int RunCellWrite(CommandContext& context) {
    const auto& operands = context.arguments.Operands();
    const std::uint32_t address = AddressOperand(operands[0]);
    const std::int32_t cell = CellOperand(context, operands[1]);
    const auto value = static_cast<std::int32_t>(ParseInteger(operands[2], "value", 0, 255));
    Session& session = context.session();
    session.Driver().WriteParameter(session.Channel(), address, cell, value);
    context.out << "address " << address << ", " << CellName(cell) << ": " << ByteWords(value)
                << " written\n";
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

}  // namespace

Command StatusCommand() {
    return {.name = "status",
            .operands = "DISPENSER",
            .summary = "poll every nozzle of a dispenser",
            .description =
                "Polls nozzles 1..N of the dispenser as a host does (reading the controller's "
                "mode cells when the driver's back-off says so) and shows each nozzle's status "
                "and volume.",
            .options = WithLineOptions(
                {{"nozzles",
                  "poll nozzles 1..N; default: the dispenser's nozzles on the bus (1 in mode "
                  "'0', where the driver keeps one status word for the dispenser)"},
                 {"json"}}),
            .minOperands = 1,
            .maxOperands = 1,
            .run = &RunStatus};
}

Command StartCommand() {
    return {.name = "start",
            .operands = "DISPENSER NOZZLE",
            .summary = "authorise a fill on a nozzle",
            .description =
                "Sends the host's start request for the nozzle. A dispenser in mode '0' gets "
                "no command: its controller starts by itself and the driver marks the nozzle "
                "running. The dispenser is polled once first, so that the driver knows its "
                "mode.",
            .options = WithLineOptions({}),
            .minOperands = 2,
            .maxOperands = 2,
            .run = &RunStart};
}

Command StopCommand() {
    return {.name = "stop",
            .operands = "DISPENSER",
            .summary = "stop the dispenser's fill",
            .description =
                "Polls the dispenser, then sends the host's unconditional stop request to the "
                "nozzle that is filling (else to the one last started). A dispenser in mode "
                "'0' gets no command: the driver ends the fill it keeps for nozzle 1.",
            .options = WithLineOptions({{"nozzle", "stop this nozzle instead"}}),
            .minOperands = 1,
            .maxOperands = 1,
            .run = &RunStop};
}

Command DoseCommand() {
    return {.name = "dose",
            .operands = "DISPENSER NOZZLE",
            .summary = "set the next fill's dose in litres or money",
            .description =
                "Sets a dose limit for the nozzle's next fill. With the option StartInLiter (on "
                "unless flags bit 4 is set) a money dose is divided by the nozzle's price and "
                "sent in litres, so it needs the price: give --price, which sets it first.",
            .options = WithLineOptions(
                {{"litres",
                  "the dose in litres (five digits on the controller: up to 999.99, less in "
                  "modes with more decimals)"},
                 {"money",
                  "the dose in money (six digits on the controller: up to 9999.99 in "
                  "hundredths; as litres when StartInLiter is on)"},
                 {"price"}}),
            .minOperands = 2,
            .maxOperands = 2,
            .run = &RunDose};
}

Command PriceCommand() {
    return {.name = "price",
            .operands = "DISPENSER NOZZLE PRICE",
            .summary = "set a nozzle's unit price",
            .description =
                "Sets the unit price (0..99.99: four digits of hundredths) and reads it back. "
                "Fails when the controller does not hold the price afterwards.",
            .options = WithLineOptions({}),
            .minOperands = 3,
            .maxOperands = 3,
            .run = &RunPrice};
}

Command DataCommand() {
    return {.name = "data",
            .operands = "DISPENSER",
            .summary = "volume and amount of the running or last fill",
            .description =
                "Polls the dispenser, then reads the fill's volume and the amount reconciled "
                "with the controller's own figure.",
            .options = WithLineOptions({{"nozzle",
                                         "the nozzle whose fill to read; default: the one the "
                                         "poll finds filling, else the last started"},
                                        {"json"}}),
            .minOperands = 1,
            .maxOperands = 1,
            .run = &RunDispensed};
}

Command FinalCommand() {
    return {.name = "final",
            .operands = "DISPENSER",
            .summary = "final data of the fill, clearing the dose limits",
            .description =
                "As 'data', then the driver forgets the dispenser's dose limits (not in mode "
                "'0').",
            .options = WithLineOptions({{"nozzle", "as for 'data'"}, {"json"}}),
            .minOperands = 1,
            .maxOperands = 1,
            .run = &RunFinal};
}

Command TotaliserCommand() {
    return {.name = "totaliser",
            .operands = "DISPENSER NOZZLE",
            .summary = "a nozzle's volume totaliser",
            .description = "Reads the nozzle's volume totaliser from the controller.",
            .options = WithLineOptions({{"json"}}),
            .minOperands = 2,
            .maxOperands = 2,
            .run = &RunTotaliser};
}

Command CellCommand() {
    constexpr std::string_view kRom = "CELL is a ROM cell number 0..255";
    return {.name = "cell",
            .operands = "read|write ...",
            .summary = "read or write a memory cell",
            .description =
                "Reads or writes one controller memory cell. ADDRESS is the controller's bus "
                "address (its dispenser number), CELL 0..255 a RAM cell or 256 + k ROM cell k; "
                "numbers may be given in hex as 0x...",
            .subcommands = {
                {.name = "read",
                 .operands = "ADDRESS CELL",
                 .summary = "read a memory cell",
                 .description = "Reads one memory cell of the controller at ADDRESS and shows "
                                "it in decimal and in hex.",
                 .options = WithLineOptions({{"rom", kRom}, {"json"}}),
                 .minOperands = 2,
                 .maxOperands = 2,
                 .run = &RunCellRead},
                {.name = "write",
                 .operands = "ADDRESS CELL VALUE",
                 .summary = "write a memory cell",
                 .description = "Writes VALUE (0..255) into one memory cell of the controller "
                                "at ADDRESS.",
                 .options = WithLineOptions({{"rom", kRom}}),
                 .minOperands = 3,
                 .maxOperands = 3,
                 .run = &RunCellWrite},
            }};
}

Command InfoCommand() {
    return {.name = "info",
            .operands = "",
            .summary = "the driver's description, options and properties",
            .description =
                "Shows the protocol description, the four options, the driver-property table "
                "and the dispensers on the bus. Nothing is sent on the line.",
            .options = {{"json"},
                        {"channel"},
                        {"config"},
                        {"cnf"},
                        {"flags"},
                        {"trace-file"},
                        {"trace-max-kb"},
                        {"port"},
                        {"ports"}},
            .run = &RunInfo};
}

}  // namespace fuel::cli
