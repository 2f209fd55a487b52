// The forecourt's sections of the station's file; forecourt/ConfigReader.h reads the file
// and checks each value as its key is taken.
#include "forecourt/Config.h"

#include "forecourt/PriceRule.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace fuel::forecourt {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxAddress = 32;
constexpr int kMaxNozzles = 6;
constexpr std::string_view kEmulatorScheme = "emulator:";

void ReadForecourt(SectionReader& section, Config& config) {
    config.database = section.Path(section.Require("database"));
    if (auto buffer = section.Take("sale-buffer")) {
        config.saleBuffer = static_cast<int>(section.Integer(*buffer, 1, 100));
    }
    if (auto tolerance = section.Take("tolerance")) {
        config.tolerance = section.Decimal(*tolerance, 0, 1000);
    }
    const auto kept = [&](std::string_view key, int& value, int most) {
        if (auto given = section.Take(key))
            value = static_cast<int>(section.Integer(*given, 0, most));
    };
    kept("keep-events-days", config.retention.eventDays, 36500);
    kept("keep-sales-years", config.retention.saleYears, 100);
    kept("keep-requests-days", config.retention.requestDays, 36500);
}

void ReadLine(SectionReader& section, Config& config) {
    LineConfig line;
    line.name = section.Name();
    line.sourceLine = section.Line();
    const SectionReader::Key port = section.Require("port");
    line.port = port.value;
    line.portLine = port.line;
    if (line.port.starts_with(kEmulatorScheme)) {
        std::string bus = line.port.substr(kEmulatorScheme.size());
        bus.erase(0, bus.find_first_not_of(" \t"));
        if (bus.empty())
            section.Fail(port.line, "emulator: needs a bus file, emulator:PATH");
        line.emulatorBus = section.Path({port.name, bus, port.line});
    }
    if (auto options = section.Take("driver-options")) {
        line.driverOptions = section.Path(*options);
    }
    // What only the embedded emulator has: the customers at its pumps.
    const auto emulatorOnly = [&](const SectionReader::Key& key, std::string_view what) {
        if (!line.IsEmulator())
            section.Fail(key.line, what);
    };
    if (auto customers = section.Take("customers")) {
        line.customers = section.Boolean(*customers);
        emulatorOnly(*customers, "customers come only with an emulator: line");
    }
    if (auto seed = section.Take("customer-seed")) {
        line.customerSeed = static_cast<std::uint64_t>(section.Integer(*seed, 0, 2147483647));
        emulatorOnly(*seed, "customer-seed comes only with an emulator: line");
    }
    if (auto every = section.Take("customer-every")) {
        line.customerEvery = section.Decimal(*every, 0.1, 86400);
        emulatorOnly(*every, "customer-every comes only with an emulator: line");
    }
    config.lines.push_back(std::move(line));
}

void ReadGrade(SectionReader& section, Config& config) {
    GradeConfig grade;
    grade.code = section.Name();
    grade.sourceLine = section.Line();
    grade.name = section.Require("name").value;
    const SectionReader::Key price = section.Require("price");
    grade.price = section.Decimal(price, kLowestPrice, kHighestPrice);
    if (const auto problem = PriceProblem(grade.price))
        section.Fail(price.line, "price: " + *problem);
    config.grades.push_back(std::move(grade));
}

void ReadFuelPoint(SectionReader& section, Config& config) {
    FuelPointConfig point;
    point.id = static_cast<int>(
        section.Integer({"a fuel point's id", section.Name(), section.Line()}, 1, 9999));
    point.sourceLine = section.Line();
    const SectionReader::Key line = section.Require("line");
    point.line = line.value;
    const SectionReader::Key address = section.Require("address");
    point.address = static_cast<int>(section.Integer(address, 1, kMaxAddress));
    const SectionReader::Key nozzles = section.Require("nozzles");
    point.nozzles = section.Words(nozzles);
    if (point.nozzles.size() > static_cast<std::size_t>(kMaxNozzles)) {
        section.Fail(nozzles.line, "a fuel point has 1 to 6 nozzles, not " +
                                       std::to_string(point.nozzles.size()));
    }
    for (const std::string& grade : point.nozzles) {
        if (config.Grade(grade) == nullptr)
            section.Fail(nozzles.line, "no [grade " + grade + "] for this nozzle");
    }
    point.saleBuffer = config.saleBuffer;
    if (auto buffer = section.Take("sale-buffer")) {
        point.saleBuffer = static_cast<int>(section.Integer(*buffer, 1, 100));
    }
    if (auto release = section.Take("release")) {
        const auto origin = OriginFromName(release->value);
        if (!origin) {
            section.Fail(release->line,
                         "release must be api (a till releases each fill) or pump "
                         "(the fills start at the pump), not \"" +
                             release->value + "\"");
        }
        point.release = *origin;
    }
    if (config.Line(point.line) == nullptr)
        section.Fail(line.line, "no [line " + point.line + "] for this fuel point");
    for (const FuelPointConfig& other : config.fuelPoints) {
        // [fuel-point 01] after [fuel-point 1]: the reader saw two names, the forecourt one.
        if (other.id == point.id)
            section.FailGivenTwice(other.sourceLine);
        if (other.line == point.line && other.address == point.address) {
            section.Fail(address.line,
                         "fuel point " + std::to_string(other.id) + " (line " +
                             std::to_string(other.sourceLine) + ") already has address " +
                             std::to_string(point.address) + " on line " + point.line);
        }
    }
    config.fuelPoints.push_back(std::move(point));
}

// The forecourt's kinds of section, in the order they are read: [forecourt] first, whatever
// its place, since the fuel points take its sale buffer; then the lines and grades that the
// fuel points name.
struct SectionKind {
    std::string_view kind;
    std::string_view header;  // as the messages show it
    std::string_view nameIs;  // what the name is ("a name"); empty: the section has none
    int order;
    void (*read)(SectionReader& section, Config& config);
};

constexpr SectionKind kSectionKinds[] = {
    {"forecourt", "[forecourt]", "", 0, &ReadForecourt},
    {"line", "[line NAME]", "a name", 1, &ReadLine},
    {"grade", "[grade CODE]", "a code", 1, &ReadGrade},
    {"fuel-point", "[fuel-point ID]", "a number", 2, &ReadFuelPoint},
};

const SectionKind* FindKind(std::string_view kind) {
    for (const SectionKind& each : kSectionKinds) {
        if (each.kind == kind)
            return &each;
    }
    return nullptr;
}

const SectionKind& KindOf(std::string_view kind) {
    return *FindKind(kind);
}

// "[forecourt], [line NAME], [grade CODE] and [fuel-point ID]".
std::string KnownSections() {
    std::string list;
    for (std::size_t i = 0; i < std::size(kSectionKinds); ++i) {
        if (i > 0)
            list += i + 1 < std::size(kSectionKinds) ? ", " : " and ";
        list += kSectionKinds[i].header;
    }
    return list;
}

void Read(SectionReader& section, Config& config) {
    const SectionKind& kind = KindOf(section.Kind());
    if (kind.nameIs.empty()) {
        section.RefuseName();
    } else if (section.Name().empty()) {
        section.Fail(section.Line(),
                     "needs " + std::string(kind.nameIs) + ": " + std::string(kind.header));
    }
    kind.read(section, config);
    section.Finish();
}

}  // namespace

const LineConfig* Config::Line(std::string_view name) const {
    for (const LineConfig& line : lines) {
        if (line.name == name)
            return &line;
    }
    return nullptr;
}

const GradeConfig* Config::Grade(std::string_view code) const {
    for (const GradeConfig& grade : grades) {
        if (grade.code == code)
            return &grade;
    }
    return nullptr;
}

const FuelPointConfig* Config::FuelPoint(int id) const {
    for (const FuelPointConfig& point : fuelPoints) {
        if (point.id == id)
            return &point;
    }
    return nullptr;
}

Config ParseConfig(std::string_view text, const fs::path& file,
                   const std::vector<std::string>& layerKinds) {
    Config config;
    config.file = file;
    std::vector<ConfigSection> sections = ReadConfigSections(text, file);
    const auto ofLayer = [&](const ConfigSection& section) {
        return std::find(layerKinds.begin(), layerKinds.end(), section.kind) != layerKinds.end();
    };
    for (const ConfigSection& section : sections) {
        if (ofLayer(section)) {
            config.layerSections.push_back(section);
        } else if (FindKind(section.kind) == nullptr) {
            throw ConfigErrorAt(
                file, section.line,
                "unknown section [" + section.kind + "]: the sections are " + KnownSections());
        }
    }
    std::erase_if(sections, ofLayer);
    const bool haveForecourt =
        std::any_of(sections.begin(), sections.end(),
                    [](const ConfigSection& section) { return section.kind == "forecourt"; });
    std::stable_sort(sections.begin(), sections.end(),
                     [](const ConfigSection& a, const ConfigSection& b) {
                         return KindOf(a.kind).order < KindOf(b.kind).order;
                     });
    for (ConfigSection& section : sections) {
        SectionReader reader(std::move(section), file);
        Read(reader, config);
    }
    if (!haveForecourt)
        throw ConfigErrorAt(file, 0, "no [forecourt] section with the database's path");
    if (config.fuelPoints.empty())
        throw ConfigErrorAt(file, 0, "no [fuel-point ID] section");
    for (const LineConfig& line : config.lines) {
        const bool used =
            std::any_of(config.fuelPoints.begin(), config.fuelPoints.end(),
                        [&](const FuelPointConfig& p) { return p.line == line.name; });
        if (!used)
            throw ConfigErrorAt(file, line.sourceLine,
                                "no fuel point is on [line " + line.name + "]");
    }
    std::sort(config.fuelPoints.begin(), config.fuelPoints.end(),
              [](const FuelPointConfig& a, const FuelPointConfig& b) { return a.id < b.id; });
    return config;
}

Config LoadConfig(const fs::path& file, const std::vector<std::string>& layerKinds) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        throw ConfigError(file.string() + ": cannot be read");
    }
    std::ostringstream text;
    text << stream.rdbuf();
    return ParseConfig(text.str(), fs::absolute(file), layerKinds);
}

fs::path DefaultConfigPath() {
    std::vector<fs::path> candidates = {
#ifdef FUEL_SOURCE_DIR
        fs::path(FUEL_SOURCE_DIR) / "examples/forecourt/station.ini",
#endif
#ifdef FUEL_DATA_DIR
        fs::path(FUEL_DATA_DIR) / "forecourt/station.ini",
#endif
    };
    // Beside the running program, as a package installs it (bin/ and share/ under one
    // prefix), whatever prefix the build was configured with.
    std::error_code noProgram;
    const fs::path program = fs::read_symlink("/proc/self/exe", noProgram);
    if (!noProgram) {
        candidates.push_back(program.parent_path().parent_path() /
                             "share/fuel-driver/forecourt/station.ini");
    }
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::is_regular_file(candidate, error))
            return candidate;
    }
    return {};
}

Config LoadStation(const fs::path& file, const fs::path& database,
                   const std::vector<std::string>& layerKinds) {
    fs::path path = file;
    if (path.empty()) {
        path = DefaultConfigPath();
        if (path.empty()) {
            throw ConfigError(
                "no configuration given, and the example station is not installed here");
        }
    }
    Config config = LoadConfig(path, layerKinds);
    if (!database.empty()) {
        config.database = fs::absolute(database);
    } else if (file.empty()) {
        config.database = fs::absolute("forecourt.db");
    }
    return config;
}

}  // namespace fuel::forecourt
