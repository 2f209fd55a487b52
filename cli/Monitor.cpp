// The monitor: every dispenser on the channel in one table, polled and redrawn over and over.
#include <iomanip>
#include <ostream>
#include <random>
#include <sstream>
#include <thread>

#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Json.h"
#include "cli/Program.h"
#include "cli/Terminal.h"

namespace fuel::cli {
namespace {

// The table's nozzle cell: the status without the nozzle number (the column says it).
std::string NozzleCell(const NozzleReading& nozzle) {
    std::string status = StatusShort(nozzle.code);
    if (const auto space = status.find(' '); space != std::string::npos) {
        status.resize(space);
    }
    std::ostringstream cell;
    cell << std::left << std::setw(5) << status << std::right << std::setw(8)
         << Fixed(nozzle.volume);
    return cell.str();
}

std::string Table(const MonitorRefresh& refresh, int maxNozzles) {
    std::ostringstream table;
    table << "channel " << refresh.channel << ", " << refresh.rows.size() << " dispensers, refresh "
          << refresh.refresh << "\n";
    table << "disp  mode   summary  ";
    for (int n = 1; n <= maxNozzles; ++n) {
        table << " nozzle " << n << "      ";
    }
    table << "\n";
    for (const MonitorRow& row : refresh.rows) {
        table << std::setw(4) << row.dispenser << "  ";
        if (row.reading) {
            const DispenserReading& reading = *row.reading;
            table << std::left << std::setw(6) << ModeWords(reading.mode, 0, 0).substr(0, 4) << " "
                  << std::setw(8) << StatusShort(reading.summary) << std::right;
            for (const NozzleReading& nozzle : reading.nozzles) {
                table << "  " << NozzleCell(nozzle);
            }
        } else if (row.error) {
            table << row.error->message;
        }
        table << "\n";
    }
    return table.str();
}

std::uint16_t WordOf(const StatusRecordEx& record, int nozzle) {
    const auto at = static_cast<std::size_t>(2 + 2 * (nozzle - 1));
    return static_cast<std::uint16_t>(record.bytes[at] | (record.bytes[at + 1] << 8));
}

// Customers for --activity: an idle dispenser now and then gets a customer, who lifts a
// nozzle; the monitor, standing in for the station's host, gives a waiting nozzle a dose and
// starts it, and the customer hangs up once the fill is over.
class Customers {
  public:
    explicit Customers(Session& session) : session_(session) {}

    void Act(std::uint8_t dispenser, const StatusRecordEx& record) {
        emulator::Emulator& bus = session_.Bus();
        TVM30& driver = session_.Driver();
        const std::uint8_t channel = session_.Channel();
        const int nozzles = session_.NozzleCount(dispenser);
        bool anyLifted = false;
        for (int n = 1; n <= nozzles; ++n) {
            const auto nozzle = static_cast<std::uint8_t>(n);
            const emulator::NozzleView view = bus.Nozzle(dispenser, nozzle);
            if (!view.lifted) {
                continue;
            }
            anyLifted = true;
            const std::uint8_t code = static_cast<std::uint8_t>(WordOf(record, n));
            if (code == status_code::kWaiting + n) {
                driver.SetVolumeLimit(channel, dispenser, nozzle, 0, Dose());
                driver.StartFill(channel, dispenser, nozzle, 0);
            } else if (view.phase == emulator::NozzlePhase::Ended ||
                       view.phase == emulator::NozzlePhase::Stopped) {
                bus.HangUpNozzle(dispenser, nozzle);
                double volume = 0;
                double amount = 0;
                driver.GetFinalDispensedData(channel, dispenser, volume, amount);
            }
        }
        if (!anyLifted && Chance(0.15)) {
            const auto nozzle =
                static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, nozzles)(random_));
            // A mode-'0' controller starts at the lift; the customer keys the dose in there.
            const bool modeZero = bus.Mode(dispenser) == kModeZero;
            bus.LiftNozzle(dispenser, nozzle, modeZero ? Dose() : 0);
        }
    }

  private:
    bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
    double Dose() {
        return std::round(std::uniform_real_distribution<double>(2, 12)(random_) * 100) / 100;
    }

    Session& session_;
    std::mt19937 random_{std::random_device{}()};
};

int RunMonitor(CommandContext& context) {
    const double interval = context.options.interval;
    const std::optional<std::int64_t>& refreshes = context.options.refreshes;
    // Every exchange takes its time on the line, so that the table refreshes as fast as a
    // real line at 4800 baud allows and the latency counters mean what they say.
    context.sessionOptions.time = BusTime::Paced;
    Session& session = context.session();
    std::ostream& out = context.out;
    const bool terminal = IsTerminal(out);
    const auto dispensers = session.Dispensers();
    std::optional<Customers> customers;
    if (context.options.activity) {
        customers.emplace(session);
    }
    int maxNozzles = 1;
    for (const DispenserOnBus& d : dispensers) {
        maxNozzles = std::max(maxNozzles, d.nozzles);
    }

    InterruptGuard interrupt;
    int drawnLines = 0;
    bool failed = false;
    for (std::int64_t refresh = 1; !refreshes || refresh <= *refreshes; ++refresh) {
        MonitorRefresh found{refresh, session.Channel(), {}};
        failed = false;
        for (const DispenserOnBus& d : dispensers) {
            const auto dispenser = static_cast<std::uint8_t>(d.number);
            MonitorRow& row = found.rows.emplace_back();
            row.dispenser = d.number;
            try {
                const int polled = NozzlesToPoll(session, dispenser);
                const StatusRecordEx record = PollDispenser(session, dispenser, polled);
                row.reading = DescribePoll(session, dispenser, record, polled);
                if (customers) {
                    customers->Act(dispenser, record);
                }
            } catch (const Exception& error) {
                failed = true;
                row.reading.reset();
                row.error = ErrorReport{error.ClassName(), error.Message(), ""};
            } catch (const Failure& error) {
                failed = true;
                row.reading.reset();
                row.error = ErrorReport{"Failure", error.what(), ""};
            }
        }
        if (context.json) {
            // JSON Lines: one refresh a line, nothing redrawn.
            out << ToJson(found) << "\n" << std::flush;
        } else {
            if (terminal && drawnLines > 0) {
                // Back to the table's first line, and clear what the last one drew.
                out << "\x1b[" << drawnLines << "F\x1b[J";
            }
            const std::string text = Table(found, maxNozzles);
            out << text;
            if (!terminal) {
                out << "\n";
            }
            out << std::flush;
            drawnLines = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        }
        if (refreshes && refresh == *refreshes) {
            break;
        }
        // Wait in short steps, so that Ctrl-C ends the monitor at once.
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(interval));
        while (!InterruptGuard::Interrupted() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (InterruptGuard::Interrupted()) {
            break;
        }
    }
    return failed ? kExitFailure : kExitSuccess;
}

}  // namespace

Command MonitorCommand() {
    return {.name = "monitor",
            .operands = "",
            .summary = "a live table of every dispenser on the channel",
            .description =
                "Polls every dispenser on the bus over and over and redraws the table in place "
                "(one table after another when the output is not a terminal). Ends with Ctrl-C. "
                "With --json, each refresh is one JSON document on a line of its own (JSON "
                "Lines), a dispenser that failed carrying its error, and nothing is redrawn.",
            .options = WithLineOptions({{"interval"}, {"refreshes"}, {"activity"}, {"json"}}),
            .run = &RunMonitor,
            .inShell = false};
}

}  // namespace fuel::cli
