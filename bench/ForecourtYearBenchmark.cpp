// A station's year of journal, and what the API answers on it. Builds the journal with the
// forecourt's own schema (its migrations, up to a version that can be chosen, so that an
// older daemon can be measured on a journal it knows): a busy station's fills, each a sale
// with its ten events and its two totaliser readings, written in one transaction per day.
// Then starts the built fuel-forecourtd on it (four emulated lines, sixteen fuel points),
// and times the start (until it listens) and each request many times over one connection:
// the median and the 99th percentile, and the size of the answer.
//
//     forecourt_year_benchmark [--days 365] [--sales-per-day 2000] [--calls 200]
//                              [--year-calls 20] [--schema N] [--daemon PATH] [--keep DIR]
//                              [--reuse yes]
//
// --schema builds the journal at that version of the forecourt's schema (default: this
// program's); --daemon measures another build of fuel-forecourtd (one that knows that
// version); --keep writes the journal and the daemon's files into DIR and leaves them, and
// --reuse yes takes the journal that an earlier run left there instead of building one (a
// newer daemon migrates it forward as it starts: run it twice to time a start without).
// A benchmark, not a test: its figures depend on the machine.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

#include "forecourt/Database.h"
#include "forecourt/Model.h"
#include "forecourt/Schema.h"
#include "testing/ChildProcess.h"
#include "testing/HttpClient.h"
#include "testing/TestFiles.h"

#ifndef FUEL_FORECOURTD_PATH
#error "FUEL_FORECOURTD_PATH must name the built program"
#endif
#ifndef FUEL_SOURCE_DIR
#error "FUEL_SOURCE_DIR must name the source tree"
#endif

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace fc = fuel::forecourt;
using Clock = std::chrono::steady_clock;

constexpr int kLines = 4;
constexpr int kPointsPerLine = 4;
constexpr int kPoints = kLines * kPointsPerLine;
const char* const kNozzles[kPointsPerLine][2] = {
    {"95", "92"}, {"95", "92"}, {"DT", "98"}, {"95", "92"}};
const double kPrices[] = {45.67, 48.17, 51.20, 53.70};

double PriceOf(const std::string& grade) {
    return grade == "95"   ? kPrices[0]
           : grade == "92" ? kPrices[1]
           : grade == "DT" ? kPrices[2]
                           : kPrices[3];
}

// Four lines, each the example bus without customers (nothing moves while it is measured).
std::string Station(const fs::path& directory) {
    const std::string bus = std::string(FUEL_SOURCE_DIR) + "/examples/bus/station.conf";
    std::string text = "[forecourt]\ndatabase = " + (directory / "forecourt.db").string() + "\n";
    text +=
        "[grade 95]\nname = Super 95\nprice = 45.67\n[grade 92]\nname = Regular 92\n"
        "price = 48.17\n[grade DT]\nname = Diesel\nprice = 51.20\n[grade 98]\n"
        "name = Super Plus 98\nprice = 53.70\n";
    const int addresses[] = {1, 3, 5, 7};
    int point = 0;
    for (int line = 1; line <= kLines; ++line) {
        text += "[line l" + std::to_string(line) + "]\nport = emulator:" + bus + "\n";
        for (int i = 0; i < kPointsPerLine; ++i) {
            text += "[fuel-point " + std::to_string(++point) + "]\nline = l" +
                    std::to_string(line) + "\naddress = " + std::to_string(addresses[i]) +
                    "\nnozzles = " + kNozzles[i][0] + " " + kNozzles[i][1] + "\n";
        }
    }
    return text;
}

struct Size {
    int days = 365;
    int salesPerDay = 2000;
    int schema = 0;  // 0: the newest
};

// A fuel point as its events carry it, in the shape the daemon writes.
nlohmann::json PointEvent(int point, const char* state, const fc::Sale& sale, bool filling) {
    const int type = (point - 1) % kPointsPerLine;
    nlohmann::json nozzles = nlohmann::json::array();
    for (int n = 0; n < 2; ++n) {
        nozzles.push_back({{"number", n + 1},
                           {"grade", kNozzles[type][n]},
                           {"price", PriceOf(kNozzles[type][n])}});
    }
    nlohmann::json fill = nullptr;
    if (filling) {
        fill = {{"id", sale.id},
                {"state", "FUELLING"},
                {"authorised", true},
                {"preset", {{"kind", "none"}, {"value", 0}}},
                {"grades", nlohmann::json::array()},
                {"prepaid", false},
                {"authorisedBy", "till-1"},
                {"nozzle", sale.nozzle},
                {"grade", sale.grade},
                {"price", sale.price},
                {"volume", sale.volume},
                {"amount", sale.amount},
                {"authorisedAt", fc::FormatTime(sale.authorisedAt)},
                {"startedAt", fc::FormatTime(sale.startedAt)}};
    }
    return {{"id", point},
            {"line", "l" + std::to_string((point - 1) / kPointsPerLine + 1)},
            {"address", 1 + 2 * type},
            {"state", state},
            {"closed", false},
            {"nozzles", std::move(nozzles)},
            {"fill", std::move(fill)},
            {"saleBuffer", 2},
            {"unclearedSales", 0},
            {"release", "api"}};
}

struct Built {
    fc::Time first{};
    fc::Time last{};
    long sales = 0;
    long events = 0;
    long readings = 0;
};

// The year, in the daemon's tables, one day a transaction. Each fuel point's fills follow
// each other through the day, alternating its nozzles; each nozzle's totaliser grows by its
// fills, and once a day one of them by half a litre nobody recorded (which the
// reconciliation is there to find).
Built BuildJournal(const fs::path& file, const Size& size) {
    fc::Connection db(file, fc::Connection::Mode::ReadWrite);
    // Built once, thrown away with the run: what a crash would do to it does not matter.
    db.Execute("PRAGMA synchronous=OFF");
    const auto& migrations = fc::ForecourtMigrations();
    const int version = size.schema > 0 ? size.schema : static_cast<int>(migrations.size());
    if (version > static_cast<int>(migrations.size()))
        throw std::runtime_error("this program knows the schema up to its newest version only");
    for (int v = 1; v <= version; ++v) {
        db.Execute("BEGIN");
        db.Execute(migrations[static_cast<std::size_t>(v - 1)]);
        db.SetUserVersion(v);
        db.Execute("COMMIT");
    }
    Built built;
    const fc::Time end =
        std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now()) - 24h;
    built.first = end - std::chrono::days(size.days);
    built.last = end;
    std::vector<double> totals(static_cast<std::size_t>(kPoints * 2 + 2), 0);
    for (std::size_t i = 0; i < totals.size(); ++i)
        totals[i] = 100000 + 1000.0 * static_cast<double>(i);
    std::mt19937 random(7);
    const auto interval =
        std::chrono::milliseconds(std::chrono::days(1)) * kPoints / size.salesPerDay;
    fc::SaleId id = 0;
    const auto event = [&](fc::Time at, const char* type, const nlohmann::json& data) {
        db.Prepare("INSERT INTO events (at, type, data) VALUES (?1, ?2, ?3)")
            .Bind(1, fc::FormatTime(at))
            .Bind(2, type)
            .Bind(3, fc::JsonText(data))
            .Run();
        ++built.events;
    };
    const auto reading = [&](int point, int nozzle, double volume, fc::Time at) {
        db.Prepare(
              "INSERT INTO readings (fuel_point, nozzle, volume, at, source) VALUES (?1, ?2, ?3, "
              "?4, 'read')")
            .Bind(1, point)
            .Bind(2, nozzle)
            .Bind(3, volume)
            .Bind(4, fc::FormatTime(at))
            .Run();
        ++built.readings;
    };
    for (int day = 0; day < size.days; ++day) {
        db.Execute("BEGIN");
        const fc::Time dayStart = built.first + std::chrono::days(day);
        const int perPoint = size.salesPerDay / kPoints;
        for (int point = 1; point <= kPoints; ++point) {
            const int type = (point - 1) % kPointsPerLine;
            // Each point's fills offset from the others', so that the station's ends interleave.
            fc::Time at = dayStart + interval * (point - 1) / kPoints;
            for (int k = 0; k < perPoint; ++k, at += interval) {
                const int nozzle = 1 + static_cast<int>(random() % 2);
                double& total = totals[static_cast<std::size_t>(point * 2 + nozzle - 1)];
                if (k == perPoint / 2 && point == 1 + day % kPoints) {
                    total += 0.5;
                    reading(point, nozzle, total, at - 1s);
                }
                fc::Sale sale;
                sale.id = ++id;
                sale.fuelPoint = point;
                sale.nozzle = nozzle;
                sale.grade = kNozzles[type][nozzle - 1];
                sale.price = PriceOf(sale.grade);
                sale.volume = 5 + static_cast<double>(random() % 5000) / 100;
                sale.amount = std::round(sale.volume * sale.price * 100) / 100;
                sale.authorisedBy = "till-" + std::to_string(1 + point % 3);
                sale.authorisedAt = at;
                sale.startedAt = at + 5s;
                sale.endedAt =
                    sale.startedAt + std::chrono::seconds(static_cast<int>(sale.volume * 2.5));
                sale.totalBefore = total;
                sale.totalAfter = total + sale.volume;
                total = sale.totalAfter;
                const bool last = day == size.days - 1 && k == perPoint - 1;
                sale.state = last ? fc::FillState::Payable : fc::FillState::Cleared;
                if (!last) {
                    sale.lockedBy = sale.authorisedBy;
                    sale.lockedAt = sale.endedAt + 20s;
                    sale.clearedBy = sale.authorisedBy;
                    sale.clearedAt = sale.endedAt + 40s;
                }
                db.Prepare(
                      "INSERT INTO fills (id, fuel_point, state, preset_kind, preset_value, "
                      "grades, prepaid, authorised_by, authorised_at, nozzle, grade, price, "
                      "total_before, started_at, volume, amount, total_after, ended_at, "
                      "locked_by, locked_at, cleared_by, cleared_at) VALUES (?1, ?2, ?3, "
                      "'none', 0, '[]', 0, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
                      "?15, ?16, ?17, ?18)")
                    .Bind(1, sale.id)
                    .Bind(2, point)
                    .Bind(3, fc::Name(sale.state))
                    .Bind(4, sale.authorisedBy)
                    .Bind(5, fc::FormatTime(sale.authorisedAt))
                    .Bind(6, nozzle)
                    .Bind(7, sale.grade)
                    .Bind(8, sale.price)
                    .Bind(9, sale.totalBefore)
                    .Bind(10, fc::FormatTime(sale.startedAt))
                    .Bind(11, sale.volume)
                    .Bind(12, sale.amount)
                    .Bind(13, sale.totalAfter)
                    .Bind(14, fc::FormatTime(sale.endedAt))
                    .Bind(15, last ? std::optional<std::string>() : sale.lockedBy)
                    .Bind(16, sale.lockedAt
                                  ? std::optional<std::string>(fc::FormatTime(*sale.lockedAt))
                                  : std::nullopt)
                    .Bind(17, last ? std::optional<std::string>() : sale.clearedBy)
                    .Bind(18, sale.clearedAt
                                  ? std::optional<std::string>(fc::FormatTime(*sale.clearedAt))
                                  : std::nullopt)
                    .Run();
                ++built.sales;
                reading(point, nozzle, sale.totalBefore, sale.startedAt - 1s);
                reading(point, nozzle, sale.totalAfter, sale.endedAt + 1s);
                // What the daemon journals around one fill: the point's states, and the sale
                // as it becomes payable, locked and cleared.
                event(at - 10s, "fuel-point", PointEvent(point, "CALLING", sale, false));
                event(at, "fuel-point", PointEvent(point, "AUTHORISED", sale, false));
                event(sale.startedAt, "fuel-point", PointEvent(point, "FUELLING", sale, true));
                event(sale.startedAt + 1s, "fuel-point", PointEvent(point, "FUELLING", sale, true));
                event(sale.endedAt - 1s, "fuel-point", PointEvent(point, "FUELLING", sale, true));
                event(sale.endedAt, "fuel-point", PointEvent(point, "CALLING", sale, false));
                fc::Sale payable = sale;
                payable.state = fc::FillState::Payable;
                payable.lockedBy.clear();
                payable.lockedAt.reset();
                payable.clearedBy.clear();
                payable.clearedAt.reset();
                event(sale.endedAt, "sale", fc::ToJson(payable));
                event(sale.endedAt + 2s, "fuel-point", PointEvent(point, "IDLE", sale, false));
                fc::Sale locked = payable;
                locked.state = fc::FillState::Locked;
                locked.lockedBy = sale.authorisedBy;
                locked.lockedAt = sale.endedAt + 20s;
                event(*locked.lockedAt, "sale", fc::ToJson(locked));
                event(sale.endedAt + 40s, "sale", fc::ToJson(sale));
            }
        }
        db.Execute("COMMIT");
        if ((day + 1) % 30 == 0)
            std::fprintf(stderr, "built %d days, %ld sales\n", day + 1, built.sales);
    }
    db.Execute("PRAGMA wal_checkpoint(TRUNCATE)");
    return built;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

struct Timed {
    std::string what;
    std::string target;
    int calls = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Size size;
    int calls = 200;
    int yearCalls = 20;
    fs::path daemonPath = FUEL_FORECOURTD_PATH;
    std::optional<fs::path> keep;
    bool reuse = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--days")
            size.days = std::stoi(value);
        else if (option == "--sales-per-day")
            size.salesPerDay = std::stoi(value);
        else if (option == "--calls")
            calls = std::stoi(value);
        else if (option == "--year-calls")
            yearCalls = std::stoi(value);
        else if (option == "--schema")
            size.schema = std::stoi(value);
        else if (option == "--daemon")
            daemonPath = value;
        else if (option == "--keep")
            keep = value;
        else if (option == "--reuse")
            reuse = value == "yes";
        else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (size.days < 2 || size.salesPerDay < kPoints) {
        std::fprintf(stderr, "--days is 2 or more, --sales-per-day %d or more\n", kPoints);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    fuel::test::TemporaryDirectory temporary;
    const fs::path directory = keep ? *keep : temporary.Path();
    fs::create_directories(directory);
    const fs::path config = directory / "station.ini";
    fuel::test::WriteBytes(config, Station(directory));
    const fs::path periodFile = directory / "period.txt";
    Built built;
    if (reuse && keep && fs::exists(directory / "forecourt.db") && fs::exists(periodFile)) {
        // "<first> <last>" as the build wrote them.
        const std::string period = fuel::test::ReadBytes(periodFile);
        const auto space = period.find(' ');
        built.first = fc::ParseTime(period.substr(0, space)).value_or(fc::Time{});
        built.last = fc::ParseTime(period.substr(space + 1, 24)).value_or(fc::Time{});
        std::printf("journal: the one in %s, %.2f GB\n", directory.c_str(),
                    static_cast<double>(fs::file_size(directory / "forecourt.db")) / 1e9);
    } else {
        fs::remove(directory / "forecourt.db");
        const auto building = Clock::now();
        built = BuildJournal(directory / "forecourt.db", size);
        const double buildSeconds = std::chrono::duration<double>(Clock::now() - building).count();
        fuel::test::WriteBytes(periodFile,
                               fc::FormatTime(built.first) + " " + fc::FormatTime(built.last));
        const auto bytes = fs::file_size(directory / "forecourt.db");
        std::printf(
            "journal: %d days, %ld sales, %ld events, %ld readings, %.2f GB, built in %.0f s\n",
            size.days, built.sales, built.events, built.readings, static_cast<double>(bytes) / 1e9,
            buildSeconds);
    }
    std::fflush(stdout);

    const std::string bearer =
        "Bearer " + fuel::test::RunForOutput(daemonPath,
                                             {"token", "add", "bench-" + std::to_string(getpid()),
                                              "--role", "viewer", "--config", config.string()},
                                             directory, 600s);

    const auto starting = Clock::now();
    fuel::test::ChildProcess daemon(
        daemonPath, {"--config", config.string(), "--listen", "127.0.0.1:0", "--threads", "2"},
        directory / "daemon.out", directory / "daemon.log");
    const std::optional<std::string> listening =
        fuel::test::WaitForText(directory / "daemon.log", "listening on http://127.0.0.1:", 600s);
    const double startMs =
        std::chrono::duration<double, std::milli>(Clock::now() - starting).count();
    if (!listening) {
        std::fprintf(stderr, "the daemon did not start:\n%s",
                     fuel::test::ReadBytes(directory / "daemon.log").c_str());
        return 1;
    }
    const auto port =
        static_cast<std::uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    std::printf("startup: %.0f ms until it listens\n", startMs);

    const std::string lastDay = fc::FormatTime(built.last - 24h);
    const std::string end = fc::FormatTime(built.last);
    const std::vector<Timed> requests = {
        {"GET /api/v1/sales", "/api/v1/sales", calls},
        {"GET /api/v1/sales?fuelPoint=2&limit=10", "/api/v1/sales?fuelPoint=2&limit=10", calls},
        {"GET /api/v1/sales?state=CLEARED&limit=1000", "/api/v1/sales?state=CLEARED&limit=1000",
         calls},
        {"GET /api/v1/fuel-points/1/totals", "/api/v1/fuel-points/1/totals", calls},
        {"GET /api/v1/reconciliation, one day",
         "/api/v1/reconciliation?from=" + lastDay + "&to=" + end, calls},
        {"GET /api/v1/reconciliation, the year",
         "/api/v1/reconciliation?from=" + fc::FormatTime(built.first) + "&to=" + end, yearCalls},
        // A page of a nozzle's stretches over the year: each looks at a bounded part of it.
        {"GET /api/v1/reconciliation/discrepancies, year",
         "/api/v1/reconciliation/discrepancies?fuelPoint=1&nozzle=1&from=" +
             fc::FormatTime(built.first) + "&to=" + end,
         calls},
    };
    fuel::test::HttpClient client(port, false, std::chrono::milliseconds(600000));
    const fuel::test::Headers headers = {{"Authorization", bearer}};
    bool failed = false;
    std::printf("%-50s %7s %10s %10s %12s\n", "request", "calls", "median ms", "p99 ms",
                "answer bytes");
    for (const Timed& request : requests) {
        std::vector<double> times;
        std::size_t answerBytes = 0;
        for (int i = 0; i < request.calls; ++i) {
            const auto begun = Clock::now();
            const fuel::test::HttpAnswer answer = client.Send("GET", request.target, headers);
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
            answerBytes = answer.body.size();
            if (answer.status != 200) {
                std::fprintf(stderr, "%s: %d %s\n", request.what.c_str(), answer.status,
                             answer.body.substr(0, 300).c_str());
                failed = true;
                break;
            }
        }
        std::printf("%-50s %7zu %10.2f %10.2f %12zu\n", request.what.c_str(), times.size(),
                    Percentile(times, 0.5), Percentile(times, 0.99), answerBytes);
        std::fflush(stdout);
    }
    daemon.Signal(SIGTERM);
    const int status = daemon.Wait(60s).value_or(-1);
    std::printf("daemon stopped with status %d\n", status);
    return failed || status != 0 ? 1 : 0;
}
