// fuelctl --json read by a JSON parser, as a script reads it: the built program's standard
// output must be one document (one a refresh for the monitor) whatever else the run prints,
// failures included; and in-process, over a whole fill on one bus, the numbers in JSON must be
// those of the text form.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Program.h"
#include "driver/Version.h"
#include "tests/cli/CliTestSupport.h"

namespace fuel::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::Contains;
using test::Outcome;

// The built program with the words, standard input empty, the service tool's catalogue in a
// folder of the test's own.
class Fuelctl {
  public:
    fs::path Settings() const { return program_.Dir() / "Settings"; }

    Outcome Run(const std::vector<std::string>& words) const {
        return program_.Run(words, "", {"FUELCTL_SETTINGS=" + Settings().string()});
    }

  private:
    test::BuiltProgram program_;
};

// Standard output as one document on one line; a test failure when it is anything else.
json OneDocument(const std::string& out) {
    EXPECT_TRUE(!out.empty() && out.back() == '\n' && out.find('\n') == out.size() - 1)
        << "not one line: " << out;
    return json::parse(out);  // throws, and so fails the test, on anything but JSON
}

using Check = std::function<void(const json&)>;

struct JsonCase {
    const char* name;
    std::vector<std::string> words;  // --json is added
    int status;
    Check check;
};

void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << c.name;
}

void ExpectError(const json& document, const std::string& className, const std::string& message) {
    ASSERT_TRUE(document.contains("error")) << document;
    EXPECT_EQ(document["error"]["class"], className) << document;
    EXPECT_TRUE(Contains(document["error"]["message"].get<std::string>(), message)) << document;
    EXPECT_EQ(document.size(), 1u) << document;  // nothing but the error
}

class JsonCommandTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonCommandTest, PrintsOneDocumentWithTheExitStatusOfTheText) {
    const Fuelctl fuelctl;
    std::vector<std::string> words = GetParam().words;
    words.push_back("--json");
    const Outcome run = fuelctl.Run(words);
    EXPECT_EQ(run.status, GetParam().status) << run.out << run.err;
    GetParam().check(OneDocument(run.out));
}

// The built-in bus: dispensers 1 and 3 (mode '1'), 5 (mode 0x42, three volume decimals) and 7
// (mode '0'), two nozzles each; nozzle 1 of dispenser N holds the totaliser 12000 + N, nozzle 2
// 8000 + N; cell 150 of dispenser 5 holds its mode, ROM cell 0xF0 the firmware's day, 5.
INSTANTIATE_TEST_SUITE_P(
    BuiltInBus, JsonCommandTest,
    ::testing::Values(
        JsonCase{"status",
                 {"status", "5"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d["dispenser"], 5);
                     EXPECT_EQ(d["channel"], 1);
                     EXPECT_EQ(d["status"], (json{{"code", 200}, {"text", "idle"}}));
                     EXPECT_EQ(d["mode"]["code"], 0x42);
                     EXPECT_EQ(d["mode"]["volume_decimals"], 3);
                     ASSERT_EQ(d["nozzles"].size(), 2u);
                     EXPECT_EQ(d["nozzles"][1]["nozzle"], 2);
                     EXPECT_EQ(d["nozzles"][1]["status"]["code"], 200);
                     EXPECT_EQ(d["nozzles"][1]["volume"], 0.0);
                 }},
        JsonCase{"status_mode_zero",
                 {"status", "7"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d["mode"]["code"], 0x30);  // '0'
                     EXPECT_EQ(d["status"]["code"], 192);
                     EXPECT_EQ(d["nozzles"].size(), 1u);  // one status word in mode '0'
                 }},
        JsonCase{"final_mode_zero",
                 {"final", "7"},
                 0,
                 [](const json& d) { EXPECT_EQ(d["dose_limits"], "kept"); }},
        JsonCase{
            "totaliser",
            {"totaliser", "1", "2"},
            0,
            [](const json& d) {
                EXPECT_EQ(d, (json{{"dispenser", 1}, {"nozzle", 2}, {"volume_total", 8001.0}}));
            }},
        JsonCase{"cell_read",
                 {"cell", "read", "5", "150"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(
                         d,
                         (json{{"address", 5}, {"memory", "RAM"}, {"cell", 150}, {"value", 0x42}}));
                 }},
        JsonCase{"cell_read_rom",
                 {"cell", "read", "3", "0xF0", "--rom"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d["memory"], "ROM");
                     EXPECT_EQ(d["cell"], 0xF0);
                     EXPECT_EQ(d["value"], 5);
                 }},
        JsonCase{"info",
                 {"info"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d["version"], kVersion);
                     EXPECT_TRUE(Contains(d["protocol"].get<std::string>(), "Протокол"));
                     EXPECT_EQ(d["options"]["StartInLiter"], true);
                     EXPECT_EQ(d["options"]["WDoza"], false);
                     ASSERT_EQ(d["bus"].size(), 4u);
                     EXPECT_EQ(d["bus"][2], (json{{"dispenser", 5}, {"nozzles", 2}}));
                 }},
        JsonCase{"calculator",
                 {"adjust", "0.9987", "10", "10,05"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d, (json{{"coefficient", 1.0037}}));
                 }},
        // The example catalogue's controllers: cells 30 and 40 (the first of the bus's
        // dispensers holds 1 and 0 there), and none and 41.
        JsonCase{"active_nozzles",
                 {"param", "nozzles", "0"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d["active_nozzles"], json::parse(R"([{"cell": 48, "nozzle": 1},
                                                                    {"cell": 64, "nozzle": 0}])"));
                 }},
        // One cell is no cell, the other is on a dispenser the bus lacks: shown as unreadable,
        // as the dialog shows it, without failing the command.
        JsonCase{"active_nozzles_unreadable",
                 {"param", "nozzles", "Пример КУП-2", "--address", "2"},
                 0,
                 [](const json& d) {
                     EXPECT_EQ(d["active_nozzles"][0], (json{{"cell", 0}, {"nozzle", nullptr}}));
                     EXPECT_EQ(d["active_nozzles"][1]["nozzle"], nullptr);
                     EXPECT_EQ(d["active_nozzles"][1]["error"]["class"], "ESerialIO");
                 }},
        // Failures: the driver's exception, the program's own finding, usage errors.
        JsonCase{"absent_dispenser",
                 {"status", "2"},
                 1,
                 [](const json& d) {
                     ASSERT_TRUE(d["error"].contains("hint")) << d;
                     EXPECT_TRUE(Contains(d["error"]["hint"].get<std::string>(), "no dispenser 2"));
                     EXPECT_EQ(d["error"]["message"], "Невозможно считать параметр");
                 }},
        JsonCase{"silent_line",
                 {"status", "1", "--fault", "silence", "--retries", "0"},
                 1,
                 [](const json& d) { ExpectError(d, "ESerialIO", "Невозможно считать параметр"); }},
        JsonCase{"garbled_reply",
                 {"status", "3", "--fault", "non-digit@2"},
                 1,
                 [](const json& d) { ExpectError(d, "Failure", "garbled or implausible"); }},
        JsonCase{"no_results",
                 {"price", "1", "1", "45.67"},
                 2,
                 [](const json& d) { ExpectError(d, "UsageError", "'price' prints no results"); }},
        JsonCase{"action_without_results",
                 {"cell", "write", "1", "2", "3"},
                 2,
                 [](const json& d) { ExpectError(d, "UsageError", "'cell write' prints no"); }},
        JsonCase{"no_command",
                 {"\xff\xfe"},
                 2,
                 // Bytes that are not UTF-8 are replaced, never a broken document.
                 [](const json& d) { ExpectError(d, "UsageError", "no command '\uFFFD\uFFFD'"); }},
        JsonCase{
            "bad_bus", {"status", "1", "--config", "/nonexistent/bus.conf"}, 2, [](const json& d) {
                ExpectError(d, "ConfigError", "bus configuration");
            }}));

// They would break the document.
TEST(JsonOutputTest, TheTraceAndTheCountersGoToStandardError) {
    const Fuelctl fuelctl;
    const Outcome run = fuelctl.Run({"status", "1", "--json", "--trace", "--stats"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(OneDocument(run.out)["dispenser"], 1);
    EXPECT_TRUE(Contains(run.err, "  -> 48 01 44 D2 45\n")) << run.err;
    EXPECT_TRUE(Contains(run.err, "link: 3 exchanges")) << run.err;
}

TEST(JsonOutputTest, MonitorWritesOneDocumentARefresh) {
    const Fuelctl fuelctl;
    // The first reply is lost and not retried: dispenser 1 fails in the first refresh only.
    const Outcome run = fuelctl.Run({"monitor", "--json", "--refreshes", "2", "--interval", "0.05",
                                     "--fault", "silence", "--retries", "0"});
    EXPECT_EQ(run.status, 0) << run.err;  // the last refresh went well
    std::istringstream lines(run.out);
    std::vector<json> refreshes;
    for (std::string line; std::getline(lines, line);) {
        refreshes.push_back(json::parse(line));
    }
    ASSERT_EQ(refreshes.size(), 2u) << run.out;
    for (std::size_t i = 0; i < refreshes.size(); ++i) {
        const json& refresh = refreshes[i];
        EXPECT_EQ(refresh["refresh"], i + 1);
        EXPECT_EQ(refresh["channel"], 1);
        ASSERT_EQ(refresh["dispensers"].size(), 4u);
        EXPECT_EQ(refresh["dispensers"][3]["dispenser"], 7);
        EXPECT_EQ(refresh["dispensers"][3]["mode"]["code"], 0x30);
    }
    const json& failed = refreshes[0]["dispensers"][0];
    EXPECT_EQ(failed["dispenser"], 1);
    EXPECT_EQ(failed["error"]["class"], "ESerialIO");
    EXPECT_FALSE(failed.contains("nozzles"));
    EXPECT_EQ(refreshes[1]["dispensers"][0]["status"]["code"], 200);
}

// The service tool's results: names and messages are Russian, as UTF-8; cell numbers and
// bytes are numbers.
TEST(JsonOutputTest, CatalogueAndParameters) {
    const Fuelctl fuelctl;
    Outcome run = fuelctl.Run({"catalogue", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "the example catalogue")) << run.err;  // the note, aside
    json catalogue = OneDocument(run.out);
    EXPECT_EQ(catalogue["catalogue"], (fuelctl.Settings() / "VPP.ini").string());
    ASSERT_EQ(catalogue["controllers"].size(), 2u);
    const json& first = catalogue["controllers"][0];
    EXPECT_EQ(first["name"], "Пример КУП-1");
    EXPECT_EQ(first["active_nozzle_cells"], (json{0x30, 0x40}));
    EXPECT_EQ(first["parameters"][0], (json{{"position", 0},
                                            {"name", "Коэффициент юстировки (пример)"},
                                            {"type", 3},
                                            {"decimals", 4},
                                            {"memory", "RAM"},
                                            {"cells", {0x20, 0x21, 0x22}},
                                            {"scale", "BCD"},
                                            {"read_only", false},
                                            {"function", 1}}));

    // value as shown; number where the value is one; the cells and what they hold.
    struct Read {
        const char* parameter;
        const char* address;
        json expected;
    };
    const Read reads[] = {
        {"0",
         "3",
         {{"value", "0.9987"},
          {"number", 0.9987},
          {"cells", {0x20, 0x21, 0x22}},
          {"bytes", {0x00, 0x99, 0x87}}}},
        {"Флаги настройки (пример)",
         "1",
         {{"value", "00001234"}, {"number", 0x1234}, {"bytes", {0x12, 0x34}}}},
        {"Дата прошивки, ПЗУ (пример)",
         "5",
         {{"value", "05.12.07"}, {"memory", "ROM"}, {"cells", {0xF0, 0xF1, 0xF2}}}},
    };
    for (const Read& read : reads) {
        run = fuelctl.Run(
            {"param", "read", "Пример КУП-1", read.parameter, "--address", read.address, "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const json value = OneDocument(run.out);
        EXPECT_EQ(value["controller"], "Пример КУП-1");
        EXPECT_EQ(value["address"], std::stoi(read.address));
        EXPECT_EQ(value["line"], "emulator");
        for (const auto& [key, expected] : read.expected.items()) {
            EXPECT_EQ(value[key], expected) << key << " of " << read.parameter;
        }
        EXPECT_EQ(value.contains("number"), read.expected.contains("number")) << value;
    }

    run = fuelctl.Run({"param", "read", "Пример КУП-1", "нет такого", "--json"});
    EXPECT_EQ(run.status, 2);
    ExpectError(OneDocument(run.out), "UsageError", "нет такого");
    run = fuelctl.Run({"catalogue", "add-controller", "Новый", "--json"});
    EXPECT_EQ(run.status, 2);
    ExpectError(OneDocument(run.out), "UsageError", "'catalogue add-controller' prints no");
}

// What loaded is listed, and the error is beside it.
TEST(JsonOutputTest, AnIncompleteCatalogueIsListedWithItsError) {
    const Fuelctl fuelctl;
    fs::create_directories(fuelctl.Settings());
    std::ofstream(fuelctl.Settings() / "VPP.ini", std::ios::binary)
        << "[main]\r\nCount=2\r\n[item0]\r\nName=A\r\nFile=a.ini\r\n[item1]\r\nName=B\r\n"
           "File=b.ini\r\nActiveNozzle=1FF\r\n";
    const Outcome run = fuelctl.Run({"catalogue", "--json"});
    EXPECT_EQ(run.status, 1);
    const json listed = OneDocument(run.out);
    ASSERT_EQ(listed["controllers"].size(), 1u);
    EXPECT_EQ(listed["controllers"][0]["name"], "A");
    EXPECT_EQ(listed["error"]["class"], "Failure");
    EXPECT_TRUE(Contains(listed["error"]["message"].get<std::string>(),
                         "раздел [item1], ключ ActiveNozzle=1FF"))
        << listed;
}

// ---- in-process: one bus through a whole fill, each result in both forms

// The numbers of a text with decimals ("3.333 l, amount 170.65"), in order.
std::vector<double> DecimalsIn(const std::string& text) {
    static const std::regex number(R"(-?\d+\.\d+)");
    std::vector<double> numbers;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number);
         it != std::sregex_iterator(); ++it) {
        numbers.push_back(std::stod(it->str()));
    }
    return numbers;
}

// Commands run as the dispatcher runs them, on one session, so that a fill started by one is
// read by the next.
class OneBus {
  public:
    OneBus() : session_(Options(), notes_) {}

    std::string Run(std::vector<std::string> words, bool json = false) {
        if (json) {
            words.push_back("--json");
        }
        std::istringstream in;
        std::ostringstream out;
        EXPECT_EQ(
            RunCommandLine(words, in, out, notes_, {.sharedSession = &session_, .json = json}),
            kExitSuccess)
            << words[0] << ": " << out.str() << notes_.str();
        return out.str();
    }

    void Pass(int seconds) { session_.Pass(std::chrono::seconds(seconds)); }

  private:
    static SessionOptions Options() {
        SessionOptions options;
        options.cnfIniPath = "/nonexistent/cnf.INI";
        return options;
    }

    std::ostringstream notes_;
    Session session_;
};

struct Compared {
    std::vector<std::string> words;
    std::vector<std::string> pointers;  // the JSON numbers, in the order the text shows them
};

void ExpectSameNumbers(OneBus& bus, const Compared& compared, const std::vector<double>& expected) {
    const std::string text = bus.Run(compared.words);
    const json document = json::parse(bus.Run(compared.words, true));
    std::vector<double> numbers;
    for (const std::string& pointer : compared.pointers) {
        numbers.push_back(document.at(json::json_pointer(pointer)).get<double>());
    }
    EXPECT_EQ(DecimalsIn(text), numbers) << text << document;
    EXPECT_EQ(numbers, expected) << document;
}

// Dispenser 1 counts in hundredths, dispenser 5 (mode 0x42) litres in thousandths: each
// figure appears in the text as it does in JSON, to its last decimal.
TEST(JsonOutputTest, AFillReadsTheSameInBothForms) {
    OneBus bus;
    for (const auto& words :
         std::vector<std::vector<std::string>>{{"price", "1", "1", "45.67"},
                                               {"dose", "1", "1", "--litres", "3"},
                                               {"start", "1", "1"},
                                               {"price", "5", "1", "51.20"},
                                               {"dose", "5", "1", "--litres", "3.333"},
                                               {"start", "5", "1"}}) {
        bus.Run(words);
    }
    bus.Pass(10);  // both doses reached, at 0.8 l/s
    ExpectSameNumbers(bus, {{"status", "5"}, {"/nozzles/0/volume", "/nozzles/1/volume"}},
                      {3.333, 0.0});
    ExpectSameNumbers(bus, {{"data", "1"}, {"/volume", "/amount"}}, {3.0, 137.01});
    ExpectSameNumbers(bus, {{"data", "5"}, {"/volume", "/amount"}}, {3.333, 170.65});
    ExpectSameNumbers(bus, {{"final", "5"}, {"/volume", "/amount"}}, {3.333, 170.65});
    ExpectSameNumbers(bus, {{"totaliser", "1", "1"}, {"/volume_total"}}, {12004.0});
    ExpectSameNumbers(bus, {{"totaliser", "5", "1"}, {"/volume_total"}}, {12008.333});
}

}  // namespace
}  // namespace fuel::cli
