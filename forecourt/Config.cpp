// The configuration is read strictly, unlike the driver's own INI files: a key the program
// does not know, or one given twice, is a mistake a person made and wants to hear about,
// not something to pass over in silence.
#include "forecourt/Config.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

namespace fuel::forecourt {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxAddress = 32;
constexpr int kMaxNozzles = 6;
constexpr std::string_view kEmulatorScheme = "emulator:";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    std::istringstream stream{std::string(text)};
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

class Reader {
  public:
    Reader(const fs::path& file) : file_(file) {}

    [[noreturn]] void Fail(int line, const std::string& what) const {
        throw ConfigErrorAt(file_, line, what);
    }

    long Integer(int line, std::string_view key, std::string_view text, long low, long high) const {
        long value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
            value < low || value > high) {
            Fail(line, std::string(key) + " must be a whole number from " + std::to_string(low) +
                           " to " + std::to_string(high) + ", not \"" + std::string(text) + "\"");
        }
        return value;
    }

    double Decimal(int line, std::string_view key, std::string_view text, double low,
                   double high) const {
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
            !std::isfinite(value) || value < low || value > high) {
            std::ostringstream range;
            range << low << " to " << high;
            Fail(line, std::string(key) + " must be a number from " + range.str() + ", not \"" +
                           std::string(text) + "\"");
        }
        return value;
    }

    bool Boolean(int line, std::string_view key, std::string_view text) const {
        if (text == "yes" || text == "true" || text == "1")
            return true;
        if (text == "no" || text == "false" || text == "0")
            return false;
        Fail(line, std::string(key) + " must be yes or no, not \"" + std::string(text) + "\"");
    }

    fs::path Path(std::string_view text) const {
        const fs::path path{std::string(text)};
        return path.is_absolute() ? path : (file_.parent_path() / path).lexically_normal();
    }

  private:
    fs::path file_;
};

// One section as read: its kind, name, header line and keys with their lines.
struct Section {
    std::string kind;
    std::string name;
    int line = 0;
    std::map<std::string, std::pair<std::string, int>, std::less<>> keys;

    std::optional<std::pair<std::string, int>> Take(std::string_view key) {
        const auto found = keys.find(key);
        if (found == keys.end())
            return std::nullopt;
        auto value = found->second;
        keys.erase(found);
        return value;
    }
};

std::string Describe(const Section& section) {
    return section.name.empty() ? "[" + section.kind + "]"
                                : "[" + section.kind + " " + section.name + "]";
}

std::vector<Section> ReadSections(std::string_view text, const Reader& reader) {
    std::vector<Section> sections;
    int number = 0;
    while (!text.empty() || number == 0) {
        ++number;
        const auto end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            if (text.empty())
                break;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']')
                reader.Fail(number, "a section header ends with ]");
            const std::vector<std::string> words = Words(line.substr(1, line.size() - 2));
            if (words.empty() || words.size() > 2) {
                reader.Fail(number, "a section header is [KIND] or [KIND NAME]");
            }
            Section section;
            section.kind = words[0];
            section.name = words.size() > 1 ? words[1] : "";
            section.line = number;
            sections.push_back(std::move(section));
        } else {
            const auto equals = line.find('=');
            if (equals == std::string_view::npos) {
                reader.Fail(number, "\"" + std::string(line) + "\" is not \"key = value\"");
            }
            const std::string key(Trim(line.substr(0, equals)));
            const std::string value(Trim(line.substr(equals + 1)));
            if (key.empty())
                reader.Fail(number, "a key has no name");
            if (sections.empty()) {
                reader.Fail(number, "\"" + key + "\" comes before any section");
            }
            Section& section = sections.back();
            if (const auto found = section.keys.find(key); found != section.keys.end()) {
                reader.Fail(number, key + " is given twice in " + Describe(section) +
                                        " (first on line " + std::to_string(found->second.second) +
                                        ")");
            }
            section.keys.emplace(key, std::make_pair(value, number));
        }
        if (text.empty())
            break;
    }
    return sections;
}

// A layer's section, handed on with its keys in the file's order.
ConfigSection AsRead(const Section& section) {
    ConfigSection read{section.kind, section.name, section.line, {}};
    for (const auto& [key, value] : section.keys) {
        read.keys.push_back({key, value.first, value.second});
    }
    std::sort(
        read.keys.begin(), read.keys.end(),
        [](const ConfigSection::Key& a, const ConfigSection::Key& b) { return a.line < b.line; });
    return read;
}

void RefuseLeftovers(const Section& section, const Reader& reader) {
    if (!section.keys.empty()) {
        // The first in the file, so that the message points where the reader looks first.
        const auto first = std::min_element(
            section.keys.begin(), section.keys.end(),
            [](const auto& a, const auto& b) { return a.second.second < b.second.second; });
        reader.Fail(first->second.second,
                    Describe(section) + " has no key \"" + first->first + "\"");
    }
}

std::pair<std::string, int> Require(Section& section, std::string_view key, const Reader& reader) {
    auto value = section.Take(key);
    if (!value)
        reader.Fail(section.line, Describe(section) + ": " + std::string(key) + " is missing");
    if (value->first.empty())
        reader.Fail(value->second, std::string(key) + " is empty");
    return *value;
}

void ReadForecourt(Section& section, Config& config, const Reader& reader) {
    if (!section.name.empty())
        reader.Fail(section.line, "[forecourt] takes no name");
    const auto database = Require(section, "database", reader);
    config.database = reader.Path(database.first);
    if (auto buffer = section.Take("sale-buffer")) {
        config.saleBuffer =
            static_cast<int>(reader.Integer(buffer->second, "sale-buffer", buffer->first, 1, 100));
    }
    if (auto tolerance = section.Take("tolerance")) {
        config.tolerance =
            reader.Decimal(tolerance->second, "tolerance", tolerance->first, 0, 1000);
    }
    RefuseLeftovers(section, reader);
}

void ReadLine(Section& section, Config& config, const Reader& reader) {
    if (section.name.empty())
        reader.Fail(section.line, "[line] needs a name: [line NAME]");
    LineConfig line;
    line.name = section.name;
    line.sourceLine = section.line;
    const auto port = Require(section, "port", reader);
    line.port = port.first;
    line.portLine = port.second;
    if (line.port.starts_with(kEmulatorScheme)) {
        const std::string_view bus =
            Trim(std::string_view(line.port).substr(kEmulatorScheme.size()));
        if (bus.empty())
            reader.Fail(port.second, "emulator: needs a bus file, emulator:PATH");
        line.emulatorBus = reader.Path(bus);
    }
    if (auto options = section.Take("driver-options")) {
        line.driverOptions = reader.Path(options->first);
    }
    if (auto customers = section.Take("customers")) {
        line.customers = reader.Boolean(customers->second, "customers", customers->first);
        if (!line.IsEmulator()) {
            reader.Fail(customers->second, "customers come only with an emulator: line");
        }
    }
    if (auto seed = section.Take("customer-seed")) {
        line.customerSeed = static_cast<std::uint64_t>(
            reader.Integer(seed->second, "customer-seed", seed->first, 0, 2147483647));
        if (!line.IsEmulator()) {
            reader.Fail(seed->second, "customer-seed comes only with an emulator: line");
        }
    }
    if (auto every = section.Take("customer-every")) {
        line.customerEvery =
            reader.Decimal(every->second, "customer-every", every->first, 0.1, 86400);
        if (!line.IsEmulator()) {
            reader.Fail(every->second, "customer-every comes only with an emulator: line");
        }
    }
    RefuseLeftovers(section, reader);
    if (const LineConfig* other = config.Line(line.name)) {
        reader.Fail(section.line, "[line " + line.name + "] is given twice (first on line " +
                                      std::to_string(other->sourceLine) + ")");
    }
    config.lines.push_back(std::move(line));
}

void ReadGrade(Section& section, Config& config, const Reader& reader) {
    if (section.name.empty())
        reader.Fail(section.line, "[grade] needs a code: [grade CODE]");
    GradeConfig grade;
    grade.code = section.name;
    grade.sourceLine = section.line;
    grade.name = Require(section, "name", reader).first;
    const auto price = Require(section, "price", reader);
    // Prices travel as four digits of hundredths: 99.99 is the most a controller takes.
    grade.price = reader.Decimal(price.second, "price", price.first, 0.01, 99.99);
    RefuseLeftovers(section, reader);
    if (const GradeConfig* other = config.Grade(grade.code)) {
        reader.Fail(section.line, "[grade " + grade.code + "] is given twice (first on line " +
                                      std::to_string(other->sourceLine) + ")");
    }
    config.grades.push_back(std::move(grade));
}

void ReadFuelPoint(Section& section, Config& config, const Reader& reader) {
    if (section.name.empty())
        reader.Fail(section.line, "[fuel-point] needs a number: [fuel-point ID]");
    FuelPointConfig point;
    point.id =
        static_cast<int>(reader.Integer(section.line, "a fuel point's id", section.name, 1, 9999));
    point.sourceLine = section.line;
    const auto line = Require(section, "line", reader);
    point.line = line.first;
    const auto address = Require(section, "address", reader);
    point.address =
        static_cast<int>(reader.Integer(address.second, "address", address.first, 1, kMaxAddress));
    const auto nozzles = Require(section, "nozzles", reader);
    point.nozzles = Words(nozzles.first);
    if (point.nozzles.size() > static_cast<std::size_t>(kMaxNozzles)) {
        reader.Fail(nozzles.second,
                    "a fuel point has 1 to 6 nozzles, not " + std::to_string(point.nozzles.size()));
    }
    for (const std::string& grade : point.nozzles) {
        if (config.Grade(grade) == nullptr) {
            reader.Fail(nozzles.second, "no [grade " + grade + "] for this nozzle");
        }
    }
    point.saleBuffer = config.saleBuffer;
    if (auto buffer = section.Take("sale-buffer")) {
        point.saleBuffer =
            static_cast<int>(reader.Integer(buffer->second, "sale-buffer", buffer->first, 1, 100));
    }
    RefuseLeftovers(section, reader);
    if (config.Line(point.line) == nullptr) {
        reader.Fail(line.second, "no [line " + point.line + "] for this fuel point");
    }
    for (const FuelPointConfig& other : config.fuelPoints) {
        if (other.id == point.id) {
            reader.Fail(section.line, "[fuel-point " + section.name +
                                          "] is given twice (first on line " +
                                          std::to_string(other.sourceLine) + ")");
        }
        if (other.line == point.line && other.address == point.address) {
            reader.Fail(address.second,
                        "fuel point " + std::to_string(other.id) + " (line " +
                            std::to_string(other.sourceLine) + ") already has address " +
                            std::to_string(point.address) + " on line " + point.line);
        }
    }
    config.fuelPoints.push_back(std::move(point));
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

ConfigError ConfigErrorAt(const fs::path& file, int line, std::string_view what) {
    return ConfigError(file.string() + (line > 0 ? ":" + std::to_string(line) : "") + ": " +
                       std::string(what));
}

Config ParseConfig(std::string_view text, const fs::path& file,
                   const std::vector<std::string>& layerKinds) {
    const Reader reader(file);
    Config config;
    config.file = file;
    std::vector<Section> sections = ReadSections(text, reader);
    const auto ofLayer = [&](const Section& section) {
        return std::find(layerKinds.begin(), layerKinds.end(), section.kind) != layerKinds.end();
    };
    for (const Section& section : sections) {
        if (ofLayer(section)) {
            config.layerSections.push_back(AsRead(section));
        } else if (section.kind != "forecourt" && section.kind != "line" &&
                   section.kind != "grade" && section.kind != "fuel-point") {
            reader.Fail(section.line, "unknown section [" + section.kind +
                                          "]: the sections are [forecourt], [line NAME], "
                                          "[grade CODE] and [fuel-point ID]");
        }
    }
    std::erase_if(sections, ofLayer);
    // [forecourt] first, whatever its place: the fuel points take its sale buffer; then the
    // lines and grades that the fuel points name.
    const auto kindOrder = [](const std::string& kind) {
        if (kind == "forecourt")
            return 0;
        if (kind == "line" || kind == "grade")
            return 1;
        if (kind == "fuel-point")
            return 2;
        return 3;
    };
    std::stable_sort(sections.begin(), sections.end(), [&](const Section& a, const Section& b) {
        return kindOrder(a.kind) < kindOrder(b.kind);
    });
    bool haveForecourt = false;
    for (Section& section : sections) {
        if (section.kind == "forecourt") {
            if (haveForecourt)
                reader.Fail(section.line, "[forecourt] is given twice");
            haveForecourt = true;
            ReadForecourt(section, config, reader);
        } else if (section.kind == "line") {
            ReadLine(section, config, reader);
        } else if (section.kind == "grade") {
            ReadGrade(section, config, reader);
        } else {
            ReadFuelPoint(section, config, reader);
        }
    }
    if (!haveForecourt)
        reader.Fail(0, "no [forecourt] section with the database's path");
    if (config.fuelPoints.empty())
        reader.Fail(0, "no [fuel-point ID] section");
    for (const LineConfig& line : config.lines) {
        const bool used =
            std::any_of(config.fuelPoints.begin(), config.fuelPoints.end(),
                        [&](const FuelPointConfig& p) { return p.line == line.name; });
        if (!used)
            reader.Fail(line.sourceLine, "no fuel point is on [line " + line.name + "]");
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
