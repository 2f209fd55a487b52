// The service tool's commands through the built program, on the built-in bus and the example
// catalogue that the program puts into an empty settings directory: every kind of parameter
// read, written with its read-back and audit line, dumped and restored.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/CliTestSupport.h"

namespace {

namespace fs = std::filesystem;
using fuel::test::Contains;
using fuel::test::Outcome;
using fuel::test::ReadBytes;

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class ServiceToolEndToEnd : public ::testing::Test {
  protected:
    fuel::test::BuiltProgram program;
    const fs::path& dir = program.Dir();
    fs::path settings = dir / "Settings";

    // Runs fuelctl with the words, --settings added, standard input from `input`.
    Outcome Run(std::vector<std::string> words, const std::string& input = "",
                bool withSettings = true) {
        if (withSettings) {
            words.insert(words.end(), {"--settings", settings.string()});
        }
        return program.Run(words, input);
    }

    std::vector<std::string> Audit() { return Lines(ReadBytes(settings / "fuelctl-audit.log")); }
};

TEST_F(ServiceToolEndToEnd, AnEmptySettingsDirectoryGetsTheExampleOnce) {
    const Outcome first = Run({"catalogue"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(Contains(first.err, "the example catalogue")) << first.err;
    EXPECT_TRUE(Contains(first.out, ": 2 controllers"));
    EXPECT_TRUE(Contains(first.out,
                         " 1  Пример КУП-2   (file \"Пример КУП-2.ini\", "
                         "active-nozzle cells 00 41)"))
        << first.out;
    EXPECT_TRUE(Contains(first.out,
                         "     0     3    4  RAM 20 21 22    BCD    read-write "
                         "adjustment  Коэффициент юстировки (пример)"))
        << first.out;
    const Outcome second = Run({"catalogue"});
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, first.out);
}

TEST_F(ServiceToolEndToEnd, DefaultSettingsDirectoryIsUnderHome) {
    const Outcome run = program.Run(
        {"catalogue"}, "", {"HOME=" + dir.string(), "XDG_CONFIG_HOME=", "FUELCTL_SETTINGS="});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir / ".config" / "fuelctl" / "Settings" / "VPP.ini"));
}

struct ReadCase {
    const char* controller;
    const char* parameter;
    const char* address;
    const char* value;
    const char* cells;
};

class ParamReadTest : public ServiceToolEndToEnd, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ParamReadTest, ShowsTheValueAsTheDialogDoes) {
    const ReadCase& c = GetParam();
    const Outcome run = Run({"param", "read", c.controller, c.parameter, "--address", c.address});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, std::string("  value  ") + c.value + "\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, std::string("  cells  ") + c.cells + "\n")) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    ExampleCatalogue, ParamReadTest,
    ::testing::Values(ReadCase{"0", "0", "1", "1", "RAM 20 21 22 = 01 00 00"},
                      ReadCase{"Пример КУП-1", "Коэффициент юстировки (пример)", "3", "0.9987",
                               "RAM 20 21 22 = 00 99 87"},
                      ReadCase{"0", "1", "1", "0.01", "RAM 24 = 01"},
                      ReadCase{"0", "2", "1", "2.5", "RAM 25 26 = 00 25"},
                      ReadCase{"0", "3", "1", "999", "RAM 28 29 2A 2B = 00 09 99 00"},
                      ReadCase{"0", "4", "1", "-0.7", "RAM 2C = D5"},
                      ReadCase{"0", "5", "1", "00001234", "RAM 2E 2F = 12 34"},
                      ReadCase{"0", "6", "7", "00001207", "RAM 50 51 52 53 = 00 00 12 07"},
                      ReadCase{"0", "7", "5", "000000FF",
                               "RAM 94 = FF"},  // mode 0x42 sits behind 255
                      ReadCase{"0", "8", "3", "00000003", "ROM 80 = 03"},
                      ReadCase{"0", "9", "1", "05.12.07", "ROM F0 F1 F2 = 05 12 07"},
                      ReadCase{"1", "1", "1", "00000005", "RAM 62 = 85"},
                      ReadCase{"1", "2", "1", "05.18.07", "ROM F0 F1 F2 = 05 12 07"}));

struct WriteCase {
    const char* controller;
    const char* parameter;
    const char* value;
    const char* old;    // as shown, with its cells
    const char* shown;  // the new value, with its cells
};

class ParamWriteTest : public ServiceToolEndToEnd,
                       public ::testing::WithParamInterface<WriteCase> {};

// Each write reads the old value, writes every cell once, reads them all back, and leaves one
// audit line.
TEST_P(ParamWriteTest, WritesVerifiesAndAudits) {
    const WriteCase& c = GetParam();
    const Outcome run =
        Run({"param", "write", c.controller, c.parameter, c.value, "--yes", "--trace"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string shown = c.shown;
    const int cells = static_cast<int>((shown.size() - shown.find('[')) / 3);
    EXPECT_EQ(Count(run.out, "  -> "), 3 * cells) << run.out;
    EXPECT_TRUE(Contains(run.out, std::string("  now  ") + c.old + "\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "  new  " + shown + "\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "  verified: the controller holds " + shown + "\n")) << run.out;
    const auto audit = Audit();
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_TRUE(Contains(audit[0], "\tchannel 1 (emulator)\taddress 1\t")) << audit[0];
    EXPECT_TRUE(Contains(audit[0], std::string("\told ") + c.old + "\tnew " + shown + "\tverified"))
        << audit[0];
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, ParamWriteTest,
    ::testing::Values(WriteCase{"0", "0", "1.2345", "1 [01 00 00]", "1.2345 [01 23 45]"},
                      WriteCase{"0", "1", "0.99", "0.01 [01]", "0.99 [99]"},
                      WriteCase{"0", "2", "99.9", "2.5 [00 25]", "99.9 [09 99]"},
                      WriteCase{"0", "3", "123456.78", "999 [00 09 99 00]",
                                "123456.78 [12 34 56 78]"},
                      WriteCase{"0", "4", "-3.7", "-0.7 [D5]", "-3.7 [FF]"},
                      WriteCase{"0", "4", "12.7", "-0.7 [D5]", "12.7 [C7]"},
                      WriteCase{"0", "5", "beef", "00001234 [12 34]", "0000BEEF [BE EF]"},
                      WriteCase{"0", "8", "20", "00000001 [01]", "00000020 [20]"},
                      WriteCase{"1", "0", "9.999", "1 [10 00]", "9.999 [99 99]"},
                      WriteCase{"1", "1", "7F", "00000005 [85]", "0000007F [7F]"}));

// Standard input a file, as a script gives it: nobody to ask.
TEST_F(ServiceToolEndToEnd, WithoutATerminalAWriteWantsYes) {
    const Outcome run = Run({"param", "write", "0", "1", "0.5", "--trace"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(Count(run.out, "->"), 0);
    EXPECT_TRUE(Contains(run.err, "give --yes")) << run.err;
}

// A write-protected ROM acknowledges the write and keeps its cell: the read-back says so,
// the exit status is 1, and the audit line records it.
TEST_F(ServiceToolEndToEnd, AWriteTheControllerDidNotTakeFails) {
    std::ofstream(dir / "bus.conf") << "[dispenser 1]\nrom 0x80 = 0x01\nrom-writable = no\n";
    const Outcome run =
        Run({"param", "write", "0", "8", "2", "--yes", "--config", (dir / "bus.conf").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "does not hold the new value: it reads back 00000001 [01]"))
        << run.err;
    const auto audit = Audit();
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_TRUE(Contains(audit[0], "\tROM 80\told 00000001 [01]\tnew 00000002 [02]\tNOT VERIFIED"))
        << audit[0];
}

TEST_F(ServiceToolEndToEnd, AdjustComputesAndWritesTheCoefficient) {
    const Outcome run = Run({"param", "adjust", "0", "0", "--dose", "10", "--measured", "10.05",
                             "--address", "3", "--yes"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "adjustment: 10.05 x 0.9987 / 10 = 1.0037 (written as 1.0037)"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "verified: the controller holds 1.0037 [01 00 37]")) << run.out;
    EXPECT_EQ(Audit().size(), 1u);

    const Outcome calculator = Run({"adjust", "1.0000", "10", "10.05"}, "", false);
    EXPECT_EQ(calculator.status, 0);
    EXPECT_EQ(calculator.out, "1.0050\n");
    const Outcome zero = Run({"adjust", "1", "0", "10"}, "", false);
    EXPECT_EQ(zero.status, 2);
    EXPECT_TRUE(Contains(zero.err, "Заданная доза не может быть равна нулю")) << zero.err;
}

// In one shell, on one bus: a dump, four writes, a restore that writes back exactly those
// four and verifies each, and a second dump equal to the first.
TEST_F(ServiceToolEndToEnd, DumpAndRestoreWriteBackOnlyWhatDiffers) {
    // The shell groups words with double quotes.
    const auto inQuotes = [](const fs::path& path) { return "\"" + path.string() + "\""; };
    const std::string before = inQuotes(dir / "before.txt");
    const std::string after = inQuotes(dir / "after.txt");
    const std::string s = " --settings " + inQuotes(settings);
    const std::string script =
        "param dump 0 --address 5 --output " + before + s + "\n" +
        "param write 0 0 2 --address 5 --yes" + s + "\n" + "param write 0 4 -1 --address 5 --yes" +
        s + "\n" + "param write 0 5 FFFF --address 5 --yes" + s + "\n" +
        "param write 0 8 AA --address 5 --yes" + s + "\n" + "param restore " + before + " --yes" +
        s + "\n" + "param restore " + before + " --yes" + s + "\n" +
        "param dump 0 --address 5 --output " + after + s + "\n";
    const Outcome run = Run({"shell"}, script, false);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "restored 4 of 4 parameter(s), each verified")) << run.out;
    EXPECT_TRUE(Contains(run.out, "nothing to write: the controller holds every writable value"))
        << run.out;
    const auto withoutTime = [](const std::string& text) {
        return text.substr(text.find("controller: "));
    };
    const std::string dumped = ReadBytes(dir / "before.txt");
    ASSERT_TRUE(Contains(dumped, "controller: Пример КУП-1\naddress: 5\n")) << dumped;
    EXPECT_EQ(withoutTime(ReadBytes(dir / "after.txt")), withoutTime(dumped));
    EXPECT_TRUE(Contains(dumped,
                         "parameter 4: Поправка температуры (пример)\n"
                         "  cells: RAM 2C = D5\n  value: -0.7\n"));
    const auto audit = Audit();
    ASSERT_EQ(audit.size(), 8u);
    EXPECT_TRUE(Contains(audit[7], "\tROM 80\told 000000AA [AA]\tnew 00000005 [05]\tverified"))
        << audit[7];
}

// A catalogue edited by hand whose controller K names a file by its full path elsewhere: the
// name is taken inside the settings directory, and the file elsewhere is never touched.
TEST_F(ServiceToolEndToEnd, AFileNamedFromTheRootStaysInTheSettingsDirectory) {
    const fs::path outside = dir / "elsewhere" / "outside.ini";
    fs::create_directories(outside.parent_path());
    const std::string kept = "[main]\r\nCount=1\r\n[item0]\r\nName=P\r\nType=1\r\nCell0=24\r\n";
    std::ofstream(outside, std::ios::binary) << kept;
    fs::create_directories(settings);
    std::ofstream(settings / "VPP.ini", std::ios::binary)
        << "[main]\r\nCount=1\r\n[item0]\r\nName=K\r\nFile=" << outside.string() << "\r\n";

    const Outcome listed = Run({"catalogue"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_FALSE(Contains(listed.out, " P\n")) << listed.out;
    const Outcome edited = Run({"catalogue", "edit", "K", "--name", "Renamed"});
    EXPECT_EQ(edited.status, 0) << edited.err;
    const Outcome written = Run({"param", "write", "Renamed", "P", "5", "--yes"});
    EXPECT_NE(written.status, 0);
    EXPECT_TRUE(Contains(written.err, "no parameter")) << written.err;

    EXPECT_EQ(ReadBytes(outside), kept);
    EXPECT_TRUE(fs::exists(settings / outside.relative_path()));
}

// A name that leaves the directory: the controller loads without parameters, nothing of the
// catalogue is saved until it has a file of its own, and 'catalogue edit' gives it one.
TEST_F(ServiceToolEndToEnd, AFileAboveTheDirectoryIsRefusedUntilTheControllerHasItsOwn) {
    const std::string kept = "[main]\r\nCount=1\r\n[item0]\r\nName=P\r\n";
    std::ofstream(dir / "outside.ini", std::ios::binary) << kept;
    fs::create_directories(settings);
    const std::string catalogue =
        "[main]\r\nCount=2\r\n[item0]\r\nName=K\r\nFile=..\\outside.ini\r\n[item1]\r\n"
        "Name=G\r\nFile=g.ini\r\n";
    std::ofstream(settings / "VPP.ini", std::ios::binary) << catalogue;

    const Outcome listed = Run({"catalogue"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_TRUE(Contains(listed.err, "\"K\": файл параметров \"..\\outside.ini\"")) << listed.err;
    const Outcome other = Run({"catalogue", "edit", "G", "--name", "X"});
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(Contains(other.err, "not saved")) << other.err;
    EXPECT_TRUE(Contains(other.err, "\"K\"")) << other.err;
    EXPECT_EQ(ReadBytes(settings / "VPP.ini"), catalogue);

    const Outcome own = Run({"catalogue", "edit", "K"});
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_TRUE(Contains(own.out, "file \"K.ini\"")) << own.out;
    EXPECT_EQ(Run({"catalogue"}).status, 0);
    EXPECT_EQ(ReadBytes(dir / "outside.ini"), kept);
}

}  // namespace
