// fuelctl forecourt: the whole forecourt (every fuel point of a station's configuration, its
// sales in the journal) running in this process, its changes printed as they happen; a way to
// try the forecourt before a server runs it.
#include <iomanip>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "bridge/BrokerConfig.h"
#include "cli/Commands.h"
#include "cli/Program.h"
#include "cli/Terminal.h"
#include "forecourt/Forecourt.h"

namespace fuel::cli {
namespace {

namespace fc = fuel::forecourt;

constexpr char kAttendant[] = "fuelctl";

std::string Amount(double value, int decimals = 2) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// The time of day of an event, as people read it beside the station's clock (UTC).
std::string Clock(const fc::Event& event) {
    return fc::FormatTime(event.at).substr(11, 12);
}

std::string Describe(const fc::Event& event) {
    const nlohmann::json& data = event.data;
    std::ostringstream line;
    line << Clock(event) << "  #" << event.sequence << "  ";
    if (event.type == fc::event_type::kFuelPoint) {
        line << "fuel point " << data["id"].get<int>() << "  " << data["state"].get<std::string>();
        if (data["closed"].get<bool>() && data["state"] != "CLOSED")
            line << " (closed)";
        const nlohmann::json& fill = data["fill"];
        if (!fill.is_null()) {
            if (!fill["nozzle"].is_null()) {
                line << "  nozzle " << fill["nozzle"].get<int>() << " ("
                     << fill["grade"].get<std::string>() << ")";
            }
            if (!fill["authorised"].get<bool>())
                line << "  not authorised here";
            if (!fill["authorisedBy"].is_null()) {
                line << "  by " << fill["authorisedBy"].get<std::string>();
            }
        }
    } else if (event.type == fc::event_type::kSale) {
        line << "sale " << data["id"].get<fc::SaleId>() << "  " << data["state"].get<std::string>()
             << "  fuel point " << data["fuelPoint"].get<int>() << " nozzle "
             << data["nozzle"].get<int>() << "  " << data["grade"].get<std::string>() << "  "
             << Amount(data["volume"].get<double>()) << " l  "
             << Amount(data["amount"].get<double>());
        if (!data["clearedBy"].is_null()) {
            line << "  cleared by " << data["clearedBy"].get<std::string>();
        } else if (!data["lockedBy"].is_null()) {
            line << "  locked by " << data["lockedBy"].get<std::string>();
        }
    } else if (event.type == fc::event_type::kFillCancelled) {
        line << "fuel point " << data["fuelPoint"].get<int>() << "  fill "
             << data["id"].get<fc::SaleId>() << " cancelled: " << data["reason"].get<std::string>();
    } else {
        line << event.type << "  " << fc::JsonText(data);
    }
    return line.str();
}

// The attendant: every fuel point whose nozzle calls is authorised (no preset), every sale
// cleared, each with a key of its own so that nothing is done twice.
class Attendant {
  public:
    explicit Attendant(fc::Forecourt& forecourt) : forecourt_(forecourt) {}

    void Tend() {
        for (const fc::FuelPointView& point : forecourt_.GetSnapshot().fuelPoints) {
            if (point.state == fc::FuelPointState::Calling) {
                fc::AuthoriseRequest request{point.id, {}, {}, false};
                forecourt_.Authorise(request, Next("authorise"), [](fc::Outcome) {});
            }
        }
        fc::SaleFilter payable;
        payable.state = fc::FillState::Payable;
        for (const fc::Sale& sale : forecourt_.Sales(payable)) {
            forecourt_.ClearSale(sale.id, {kAttendant, "clear-" + std::to_string(sale.id)},
                                 [](fc::Outcome) {});
        }
    }

  private:
    fc::Caller Next(const std::string& what) {
        return {kAttendant,
                what + "-" +
                    std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) +
                    "-" + std::to_string(++count_)};
    }

    fc::Forecourt& forecourt_;
    std::uint64_t count_ = 0;
};

// The station's file: --config FILE, as fuel-forecourtd takes it, or (as the command first
// took it) the lone operand.
std::filesystem::path StationFile(const CommandContext& context) {
    const std::optional<std::string>& option = context.options.session.configPath;
    const std::vector<std::string>& operands = context.arguments.Operands();
    if (option && !operands.empty()) {
        throw UsageError("the station's configuration is given twice: --config " + *option +
                         " and " + operands[0]);
    }
    if (option)
        return *option;
    if (!operands.empty())
        return operands[0];
    if (fc::DefaultConfigPath().empty()) {
        throw UsageError(
            "the example station's configuration is not installed here: name "
            "a configuration file with --config FILE");
    }
    return {};
}

int RunForecourt(CommandContext& context) {
    const std::filesystem::path file = StationFile(context);
    std::filesystem::path database;
    if (context.options.database)
        database = *context.options.database;
    // The same station and journal as fuel-forecourtd's; the broker section is the daemon's
    // to act on.
    fc::Config config = fc::LoadStation(file, database, {std::string(bridge::kSectionKind)});
    if (!config.layerSections.empty()) {
        context.err << "note: the [" << bridge::kSectionKind
                    << "] section is fuel-forecourtd's: nothing is published from here\n";
    }
    fc::Forecourt forecourt(std::move(config));
    InterruptGuard interrupt;
    forecourt.Start();

    std::ostream& out = context.out;
    std::mutex printing;
    const bool json = context.json;
    if (!json) {
        out << "forecourt on " << forecourt.Configuration().file.string() << ", journal "
            << forecourt.Configuration().database.string() << "\n";
        for (const fc::FuelPointView& point : forecourt.GetSnapshot().fuelPoints) {
            out << "fuel point " << point.id << " (line " << point.line << ", dispenser "
                << point.address << ")  " << fc::Name(point.state) << "\n";
        }
        out << std::flush;
    }
    fc::Subscription subscription = forecourt.Subscribe(
        forecourt.GetSnapshot().sequence,
        [&](const fc::Event& event) {
            std::lock_guard lock(printing);
            if (json) {
                out << fc::JsonText(fc::ToJson(event)) << "\n" << std::flush;
            } else if (event.Journaled()) {
                out << Describe(event) << "\n" << std::flush;
            }
        },
        json);

    Attendant attendant(forecourt);
    const auto started = std::chrono::steady_clock::now();
    const auto over = [&] {
        return InterruptGuard::Interrupted() ||
               (context.options.duration &&
                std::chrono::steady_clock::now() - started >=
                    std::chrono::duration<double>(*context.options.duration));
    };
    while (!over()) {
        if (context.options.attend)
            attendant.Tend();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    subscription.Cancel();
    forecourt.Stop();
    return kExitSuccess;
}

}  // namespace

Command ForecourtCommand() {
    return {.name = "forecourt",
            .summary = "run a station's forecourt and print its changes",
            .description =
                "Runs the forecourt of the station that --config FILE describes (default: the "
                "example station on the embedded emulator, with customers at its pumps): one "
                "poll loop per line, every fuel point's state, fills and sales in the journal. "
                "Prints each change of a fuel point and each sale as it happens, until Ctrl-C "
                "or --duration; with --json, every event as one JSON document on a line of its "
                "own, the running fills' progress included. The configuration and the journal "
                "are those fuel-forecourtd uses. The file may also be named alone, without "
                "--config.",
            .options = {{"config",
                         "the station's configuration, as fuel-forecourtd takes it (default: the "
                         "example station, its journal forecourt.db in the working directory)"},
                        {"database"},
                        {"duration"},
                        {"attend"},
                        {"json"}},
            // The station's file given alone, as the command first took it.
            .maxOperands = 1,
            .run = &RunForecourt,
            .inShell = false};
}

}  // namespace fuel::cli
