#include "cli/Json.h"

#include <charconv>
#include <nlohmann/json.hpp>

#include "tool/Catalogue.h"
#include "tool/Utf8Path.h"

namespace fuel::cli {
namespace {

// Keys come out in the order they are put in, which is the order the text form reads in.
using Json = nlohmann::ordered_json;

// One line. A byte that is not UTF-8 (a word the user typed, echoed in a message) becomes
// U+FFFD instead of ending the document half-written.
std::string Dump(const Json& document) {
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json StatusOf(std::uint8_t code) {
    return {{"code", code}, {"text", StatusWords(code)}};
}

Json ReadingOf(const DispenserReading& reading) {
    Json nozzles = Json::array();
    for (const NozzleReading& nozzle : reading.nozzles) {
        nozzles.push_back({{"nozzle", nozzle.nozzle},
                           {"status", StatusOf(nozzle.code)},
                           {"volume", AsShown(nozzle.volume)}});
    }
    return {{"dispenser", reading.dispenser},
            {"channel", reading.channel},
            {"status", StatusOf(reading.summary)},
            {"mode",
             {{"code", reading.mode},
              {"text", ModeWords(reading.mode, reading.volumeDecimals, reading.moneyDecimals)},
              {"volume_decimals", reading.volumeDecimals},
              {"money_decimals", reading.moneyDecimals}}},
            {"nozzles", nozzles}};
}

Json ErrorOf(const ErrorReport& error) {
    Json body = {{"class", error.className}, {"message", error.message}};
    if (!error.hint.empty()) {
        body["hint"] = error.hint;
    }
    return body;
}

// The first `count` of them: the cells a value of its type uses.
Json Numbers(std::span<const std::uint8_t> bytes, int count = -1) {
    Json numbers = Json::array();
    const std::size_t used = count < 0 ? bytes.size() : static_cast<std::size_t>(count);
    for (std::size_t k = 0; k < used && k < bytes.size(); ++k) {
        numbers.push_back(bytes[k]);
    }
    return numbers;
}

const char* Memory(bool rom) {
    return rom ? "ROM" : "RAM";
}

}  // namespace

bool JsonRequested(std::span<const std::string> words) {
    for (const std::string& word : words) {
        if (word == "--") {
            return false;
        }
        if (word == "--json") {
            return true;
        }
    }
    return false;
}

std::string ToJson(const DispenserReading& reading) {
    return Dump(ReadingOf(reading));
}

std::string ToJson(const FillReading& reading) {
    Json document = {{"dispenser", reading.dispenser},
                     {"nozzle", reading.nozzle},
                     {"volume", AsShown(reading.volume)},
                     {"amount", AsShown(reading.amount)},
                     {"status", StatusOf(reading.summary)}};
    if (reading.final) {
        document["dose_limits"] = reading.limitsCleared ? "cleared" : "kept";
    }
    return Dump(document);
}

std::string ToJson(const TotaliserReading& reading) {
    return Dump({{"dispenser", reading.dispenser},
                 {"nozzle", reading.nozzle},
                 {"volume_total", AsShown(reading.volume)}});
}

std::string ToJson(const CellReading& reading) {
    const bool rom = reading.cell >= 256;
    return Dump({{"address", reading.address},
                 {"memory", Memory(rom)},
                 {"cell", rom ? reading.cell - 256 : reading.cell},
                 {"value", reading.value}});
}

std::string ToJson(const DriverDescription& description) {
    Json properties = Json::object();
    for (const auto& [key, value] : description.properties) {
        properties[std::to_string(key)] = value;
    }
    Json bus = Json::array();
    for (const DispenserOnBus& dispenser : description.bus) {
        bus.push_back({{"dispenser", dispenser.number}, {"nozzles", dispenser.nozzles}});
    }
    return Dump({{"version", description.version},
                 {"protocol", description.protocol},
                 {"options",
                  {{"OrigAdres", description.origAdres},
                   {"StartInLiter", description.startInLiter},
                   {"WStart", description.wStart},
                   {"WDoza", description.wDoza}}},
                 {"properties", properties},
                 {"bus", bus}});
}

std::string ToJson(const MonitorRefresh& refresh) {
    Json rows = Json::array();
    for (const MonitorRow& row : refresh.rows) {
        if (row.reading) {
            Json reading = ReadingOf(*row.reading);
            reading.erase("channel");  // the refresh says it once
            rows.push_back(reading);
        } else {
            rows.push_back({{"dispenser", row.dispenser},
                            {"error", row.error ? ErrorOf(*row.error) : Json()}});
        }
    }
    return Dump({{"refresh", refresh.refresh}, {"channel", refresh.channel}, {"dispensers", rows}});
}

std::string ToJson(const ParameterReading& reading) {
    const tool::ValueLayout& layout = reading.layout;
    const tool::ShownValue& value = reading.value;
    Json document = {{"controller", reading.controller},
                     {"parameter", reading.parameter},
                     {"address", reading.address},
                     {"channel", reading.channel},
                     {"line", reading.line},
                     {"value", value.text}};
    // The value as a number too, where it is one: decimal cells give the signed, scaled value
    // as shown; plain-byte cells the number the text shows in hexadecimal. A date is text.
    if (value.cells.count > 0 && layout.type != 30) {
        if (tool::IsBinaryScale(layout.scale)) {
            document["number"] = static_cast<std::uint64_t>(value.lastValue);
        } else {
            double number = 0;
            const auto [end, problem] =
                std::from_chars(value.text.data(), value.text.data() + value.text.size(), number);
            if (problem == std::errc() && end == value.text.data() + value.text.size()) {
                document["number"] = number;
            }
        }
    }
    const int count = tool::CellCount(layout.type);
    document["memory"] = Memory(layout.rom);
    document["cells"] = Numbers(layout.cells, count);
    document["bytes"] = Numbers(value.cells.View());
    return Dump(document);
}

std::string ToJson(const ActiveNozzleReading& reading) {
    Json cells = Json::array();
    for (const ActiveNozzle& cell : reading.cells) {
        Json entry = {{"cell", cell.cell},
                      {"nozzle", cell.nozzle ? Json(*cell.nozzle) : Json(nullptr)}};
        if (cell.error) {
            entry["error"] = ErrorOf(*cell.error);
        }
        cells.push_back(entry);
    }
    return Dump({{"controller", reading.controller},
                 {"address", reading.address},
                 {"channel", reading.channel},
                 {"line", reading.line},
                 {"active_nozzles", cells}});
}

std::string ToJson(const CoefficientReading& reading) {
    return Dump({{"coefficient", AsShown({reading.coefficient, 4})}});
}

std::string ToJson(const tool::CControllerList& list, const ErrorReport* error) {
    Json controllers = Json::array();
    for (int c = 0; c < list.Count(); ++c) {
        const tool::CController& controller = list[c];
        Json parameters = Json::array();
        for (int p = 0; p < controller.Params.Count(); ++p) {
            const tool::CParameter& parameter = controller.Params[p];
            parameters.push_back(
                {{"position", p},
                 {"name", parameter.Name},
                 {"type", parameter.Type},
                 {"decimals", parameter.Dec},
                 {"memory", Memory(parameter.PZU)},
                 {"cells", Numbers(parameter.Cells, tool::CellCount(parameter.Type))},
                 {"scale", tool::IsBinaryScale(parameter.Scale) ? "binary" : "BCD"},
                 {"read_only", parameter.ReadOnly},
                 {"function", parameter.Function}});
        }
        controllers.push_back(
            {{"position", c},
             {"name", controller.Name},
             {"file", controller.File},
             {"active_nozzle_cells", {controller.ActiveNozzle, controller.ActiveNozzle2}},
             {"parameters", parameters}});
    }
    Json document = {{"catalogue", tool::Utf8FromPath(list.CatalogueFile())},
                     {"controllers", controllers}};
    if (error != nullptr) {
        document["error"] = ErrorOf(*error);
    }
    return Dump(document);
}

std::string ToJson(const ErrorReport& error) {
    return Dump({{"error", ErrorOf(error)}});
}

}  // namespace fuel::cli
