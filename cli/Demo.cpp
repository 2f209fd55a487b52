// The demo: a whole fill on two emulated dispensers, from prices and doses to the final data
// and the grown totalisers, checked as it goes so that a wrong figure ends it with a failure.
#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Program.h"
#include "cli/Terminal.h"

namespace fuel::cli {
namespace {

// One fill of the demo: which nozzle, and its dose in litres or in money.
struct DemoFill {
    std::uint8_t dispenser;
    std::uint8_t nozzle;
    double price;
    double litres;  // 0: the dose is in money
    double money;
    double totalBefore = 0;
};

constexpr auto kPollInterval = std::chrono::milliseconds(250);
constexpr auto kGiveUpAfter = std::chrono::seconds(60);

bool Near(double a, double b, double tolerance) {
    return std::fabs(a - b) <= tolerance;
}

bool Ended(std::uint8_t code) {
    return code > status_code::kFillEnded && code <= status_code::kFillEnded + kNozzles;
}

std::string DescribeDispenser(const emulator::DispenserConfig& d) {
    std::ostringstream text;
    text << "dispenser " << int{d.number} << ": " << int{d.nozzles} << " nozzles, mode "
         << ModeWords(d.mode, d.volumeDecimals, d.moneyDecimals) << ", "
         << (d.layout == emulator::ReplyLayout::Marked ? "marked" : "plain") << " replies, "
         << Fixed(d.flowRate, 1) << " l/s";
    return text.str();
}

double Totaliser(Session& session, const DemoFill& fill) {
    double volumeTotal = 0;
    double moneyTotal = 0;
    session.Driver().GetTotalizer(session.Channel(), fill.dispenser, fill.nozzle, volumeTotal,
                                  moneyTotal, 0, 0);
    RequireGoodLink(session, "the totaliser");
    return volumeTotal;
}

std::string Where(const DemoFill& fill) {
    return "dispenser " + std::to_string(fill.dispenser) + " nozzle " + std::to_string(fill.nozzle);
}

// The built-in bus's dispensers the demo fills: a plain one, and one that counts litres in
// thousandths.
constexpr std::uint8_t kDemoDispensers[] = {1, 5};

const emulator::DispenserConfig& DemoDispenser(const emulator::Config& bus, std::uint8_t number) {
    for (const emulator::DispenserConfig& d : bus.dispensers) {
        if (d.number == number) {
            return d;
        }
    }
    throw Failure("the built-in bus has no dispenser " + std::to_string(number));
}

int RunDemo(CommandContext& context) {
    // The built-in bus (the demo takes no --config), which fuel-emulator serves as well when
    // it is given no configuration.
    SessionOptions options = context.sessionOptions;
    // No options file: the demo's behaviour must not depend on the machine. Flags bit 4 turns
    // StartInLiter off, so that the money dose goes to the controller as money.
    options.cnfIniPath = "";
    options.flags = 0x10;
    const bool realTime = !context.options.virtualTime;
    options.time = realTime ? BusTime::Paced : BusTime::Virtual;

    std::ostream& out = context.out;
    Session session(options, out);
    const emulator::Config& bus = session.Bus().Configuration();
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    const bool terminal = IsTerminal(out);

    const emulator::DispenserConfig& first = DemoDispenser(bus, kDemoDispensers[0]);
    const emulator::DispenserConfig& second = DemoDispenser(bus, kDemoDispensers[1]);
    DemoFill fills[2] = {
        {first.number, 1, first.prices[0], 3.0, 0},
        {second.number, 2, second.prices[1], 0, 100.0},
    };

    out << "Demo: two dispensers of the built-in bus, channel " << int{channel} << ", "
        << (realTime ? "real time" : "virtual time") << "\n";
    for (const emulator::DispenserConfig* d : {&first, &second}) {
        out << "  " << DescribeDispenser(*d) << "\n";
    }

    out << "\n1. Status (the driver reads each controller's mode)\n";
    for (const DemoFill& fill : fills) {
        const StatusRecordEx record = PollDispenser(session, fill.dispenser);
        out << "  dispenser " << int{fill.dispenser} << ": " << StatusWords(record.bytes[0])
            << ", mode "
            << ModeWords(driver.Tables().DispenserMode[channel][fill.dispenser],
                         driver.Tables().VolumeDecimals[channel][fill.dispenser],
                         driver.Tables().MoneyDecimals[channel][fill.dispenser])
            << "\n";
    }

    out << "\n2. Prices, each read back from the controller\n";
    for (const DemoFill& fill : fills) {
        driver.SetPrice(channel, fill.dispenser, fill.nozzle, 0, 0, fill.price);
        const std::int32_t readBack = driver.ReadPrice(channel, fill.dispenser, fill.nozzle);
        out << "  " << Where(fill) << ": " << Fixed(fill.price, 2) << ", read back "
            << Fixed(readBack / 100.0, 2) << "\n";
        if (readBack != static_cast<std::int32_t>(std::lround(fill.price * 100))) {
            throw Failure("the controller did not take the price");
        }
    }

    out << "\n3. Doses\n";
    for (const DemoFill& fill : fills) {
        if (fill.litres > 0) {
            driver.SetVolumeLimit(channel, fill.dispenser, fill.nozzle, 0, fill.litres);
            out << "  " << Where(fill) << ": " << Fixed(fill.litres, 2) << " l\n";
        } else {
            driver.SetMoneyLimit(channel, fill.dispenser, fill.nozzle, 0, fill.money);
            out << "  " << Where(fill) << ": " << Fixed(fill.money, 2) << " in money\n";
        }
    }

    out << "\n4. Totalisers before the fills\n";
    for (DemoFill& fill : fills) {
        fill.totalBefore = Totaliser(session, fill);
        out << "  " << Where(fill) << ": " << Fixed(fill.totalBefore, 2) << " l\n";
    }

    out << "\n5. Start (the customers are at the pumps with the nozzles lifted)\n";
    for (const DemoFill& fill : fills) {
        driver.StartFill(channel, fill.dispenser, fill.nozzle, 0);
        out << "  " << Where(fill) << ": started\n";
    }

    out << "\n6. Filling\n";
    const emulator::Duration started = session.Bus().Now();
    int polls = 0;
    while (true) {
        std::ostringstream line;
        const auto elapsed = std::chrono::duration<double>(session.Bus().Now() - started).count();
        line << "  " << std::setw(5) << Fixed(elapsed, 1) << " s";
        bool allEnded = true;
        for (const DemoFill& fill : fills) {
            const StatusRecordEx record = PollDispenser(session, fill.dispenser);
            double amount = 0;
            const double volume = driver.GetDispensedData(channel, fill.dispenser, amount);
            RequireGoodLink(session, "the dispensing data");
            line << "  | " << int{fill.dispenser} << ": " << std::left << std::setw(6)
                 << StatusShort(record.bytes[0]) << std::right << std::setw(7) << Fixed(volume, 2)
                 << " l " << std::setw(8) << Fixed(amount, 2);
            allEnded = allEnded && Ended(record.bytes[0]);
        }
        ++polls;
        if (terminal) {
            out << "\r" << line.str() << std::flush;
        } else if (allEnded || polls % 4 == 1) {
            out << line.str() << "\n";
        }
        if (allEnded) {
            break;
        }
        if (session.Bus().Now() - started > kGiveUpAfter) {
            if (terminal) {
                out << "\n";
            }
            throw Failure("the doses were not reached within a minute");
        }
        session.Pass(kPollInterval);
    }
    if (terminal) {
        out << "\n";
    }
    out << "  both doses reached\n";

    out << "\n7. Final data (the dose limits are cleared)\n";
    double fillVolume[2] = {};
    for (int i = 0; i < 2; ++i) {
        const DemoFill& fill = fills[i];
        double volume = 0;
        double amount = 0;
        driver.GetFinalDispensedData(channel, fill.dispenser, volume, amount);
        RequireGoodLink(session, "the final data");
        fillVolume[i] = volume;
        out << "  " << Where(fill) << ": " << Fixed(volume, 2) << " l, amount " << Fixed(amount, 2)
            << "\n";
        // Each fill must stop at its dose, and its amount must be its volume at its price.
        const bool doseMet =
            fill.litres > 0 ? Near(volume, fill.litres, 0.011) : Near(amount, fill.money, 0.011);
        if (!doseMet || !Near(amount, volume * fill.price, fill.price / 100 + 0.011)) {
            throw Failure("the final data of " + Where(fill) + " do not match the dose");
        }
        if (driver.Tables().VolumeLimit[channel][fill.dispenser] != 0 ||
            driver.Tables().MoneyLimit[channel][fill.dispenser] != 0) {
            throw Failure("the dose limits of dispenser " + std::to_string(fill.dispenser) +
                          " were not cleared");
        }
    }

    out << "\n8. Totalisers after the fills\n";
    for (int i = 0; i < 2; ++i) {
        const DemoFill& fill = fills[i];
        const double total = Totaliser(session, fill);
        out << "  " << Where(fill) << ": " << Fixed(total, 2) << " l (+"
            << Fixed(total - fill.totalBefore, 2) << ")\n";
        if (!Near(total - fill.totalBefore, fillVolume[i], 0.011)) {
            throw Failure("the totaliser of " + Where(fill) + " did not grow by the fill");
        }
    }

    const Session::ExchangeSummary summary = session.Summary();
    out << "\nDone: " << summary.exchanges << " exchanges, " << summary.failed << " failed";
    if (summary.wireSeconds) {
        out << ", " << Fixed(*summary.wireSeconds, 2) << " s on the line at " << summary.baudRate
            << " baud";
    }
    out << ".\n";
    if (context.options.stats) {
        session.PrintStats(out);
    }
    return kExitSuccess;
}

}  // namespace

Command DemoCommand() {
    std::vector<OptionUse> options = {{"virtual"}};
    // Its own bus and driver options: the demo's figures must not depend on the machine.
    for (const std::string_view name : kLineOptions) {
        if (name != "config" && name != "cnf" && name != "flags") {
            options.push_back({name});
        }
    }
    return {.name = "demo",
            .operands = "",
            .summary = "a whole fill on two emulated dispensers",
            .description =
                "On dispensers 1 and 5 of the built-in bus (the bus fuel-emulator serves when it "
                "is given no configuration): both get prices, one a dose in litres and one in "
                "money, both are started and polled with a progress line until the doses are "
                "reached, then the final data and the totalisers are read. The driver runs "
                "with its default options, not the machine's options file.",
            .options = std::move(options),
            .run = &RunDemo,
            .inShell = false};
}

}  // namespace fuel::cli
