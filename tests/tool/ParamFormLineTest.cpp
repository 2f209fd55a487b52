// The programming dialog against a controller: the emulator behind the in-process link, so
// the cells the dialog reads and writes are the controller's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"
#include "tests/tool/FormTestSupport.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/ParamFormUnit.h"

namespace fuel::tool {
namespace {

using test::Parameter;
using test::Person;

constexpr std::uint8_t kAddress = 1;  // the dialog's first "Адрес"
constexpr std::uint8_t kUntouched = 0xEE;

class ParamFormLine : public ::testing::Test {
  protected:
    test::TemporaryDirectory dir;
    emulator::Emulator bus{emulator::ParseConfig("[dispenser 1]\nrom 0x20 = 0x42\n")};
    EmulatorLink link{bus, 1, EmulatorLinkOptions{.retry = {.attempts = 1}}};
    TVM30 driver{0, &link, ""};
    test::ScriptedServices services;
    TLParamForm form{services, {dir.Path(), dir.Path() / "cnf.INI"}};

    void Open(const CParameter& parameter, std::uint8_t activeNozzle = 0x30,
              std::uint8_t activeNozzle2 = 0x40) {
        test::SaveCatalogue(dir.Path(), {{"K", {parameter}, activeNozzle, activeNozzle2}});
        form.Driver = &driver;
        form.FormShow();
    }
    void SetCells(std::vector<std::uint8_t> bytes, std::uint8_t first = 0x20) {
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            driver.WriteParameter(1, kAddress, first + static_cast<int>(k), bytes[k]);
        }
    }
    std::vector<std::uint8_t> Cells() const {
        std::vector<std::uint8_t> cells;
        for (std::uint8_t cell = 0x20; cell < 0x24; ++cell) {
            cells.push_back(bus.RamCell(kAddress, cell));
        }
        return cells;
    }
    // The exchange with the given number (1: the next one) gets no reply.
    void SilenceExchange(int number) {
        link.onFrame = [this, number, frames = 0](std::uint32_t, auto, int) mutable {
            if (++frames == number) {
                bus.InjectFault(emulator::Fault::Silence);
            }
        };
    }
};

struct ReadCase {
    const char* name;
    int type, scale, dec;
    bool rom;
    std::vector<std::uint8_t> bytes;
    char separator;
    const char* text;
    double lastValue;
};

class ParamFormRead : public ParamFormLine, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ParamFormRead, ShowsTheCellsAsTheParameterReadsThem) {
    const ReadCase& c = GetParam();
    services.separator = c.separator;
    SetCells(c.bytes);
    Open(Parameter("p", c.type, c.scale, c.dec));
    form.PZU.SetChecked(c.rom);
    form.ReadValueBtn.OnClick();
    EXPECT_EQ(form.edReadValue.Text, c.text);
    EXPECT_DOUBLE_EQ(form.LastValue, c.lastValue);
    EXPECT_TRUE(services.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Types, ParamFormRead,
    ::testing::Values(
        ReadCase{"decimal_two_cells", 2, 0, 2, false, {0x12, 0x34}, '.', "12.34", 12.34},
        ReadCase{"comma_separator", 2, 0, 2, false, {0x12, 0x34}, ',', "12,34", 12.34},
        ReadCase{"plain_two_cells", 2, 1, 2, false, {0x12, 0x34}, '.', "00001234", 0x1234},
        ReadCase{"signed_negative", 10, 0, 0, false, {0xD5}, '.', "-7", -7},
        ReadCase{"dotted_decimal", 30, 0, 0, false, {0x05, 0x12, 0x07}, '.', "05.12.07", 51207},
        ReadCase{"rom_box_reads_rom", 1, 0, 0, true, {0x11}, '.', "42", 42}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParamFormLine, AFailedReadShowsErrorAndForgetsTheLastValue) {
    SetCells({0x12, 0x34});
    Open(Parameter("p", 2, 0, 2));
    form.ReadValueBtn.OnClick();
    ASSERT_DOUBLE_EQ(form.LastValue, 12.34);
    SilenceExchange(2);  // the second cell
    form.ReadValueBtn.OnClick();
    EXPECT_EQ(form.edReadValue.Text, "ERROR");
    EXPECT_EQ(form.LastValue, 0);
    EXPECT_EQ(services.errors, std::vector<std::string>{"Невозможно считать параметр "});
}

struct WriteCase {
    const char* name;
    int type, scale, dec;
    bool readOnly;
    const char* typed;
    std::vector<std::uint8_t> cells;  // 0x20..0x23 afterwards
    const char* error;                // the box's start, "" for none
};

class ParamFormWrite : public ParamFormLine, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ParamFormWrite, SplitsOrRefusesBeforeSending) {
    const WriteCase& c = GetParam();
    SetCells({kUntouched, kUntouched, kUntouched, kUntouched});
    Open(Parameter("p", c.type, c.scale, c.dec, c.readOnly));
    form.edReadValue.Text = "12.34";
    form.edValue.SetText(c.typed);
    const auto exchanges = link.Counters().exchanges;
    form.WriteValueBtn.OnClick();
    EXPECT_EQ(Cells(), c.cells);
    EXPECT_EQ(form.edReadValue.Text, "");
    if (*c.error == '\0') {
        EXPECT_TRUE(services.errors.empty()) << services.errors.front();
    } else {
        ASSERT_EQ(services.errors.size(), 1u);
        EXPECT_EQ(services.errors[0].rfind(c.error, 0), 0u) << services.errors[0];
        EXPECT_EQ(services.errors[0].back(), ' ');
        EXPECT_EQ(link.Counters().exchanges, exchanges);
    }
}

constexpr std::uint8_t U = kUntouched;
INSTANTIATE_TEST_SUITE_P(
    Types, ParamFormWrite,
    ::testing::Values(
        WriteCase{"decimal_two_cells", 2, 0, 2, false, "12.34", {0x12, 0x34, U, U}, ""},
        WriteCase{"either_separator", 2, 0, 2, false, "12,34", {0x12, 0x34, U, U}, ""},
        WriteCase{"exact_decimals", 1, 0, 2, false, "0.29", {0x29, U, U, U}, ""},
        WriteCase{"signed_negative", 10, 0, 0, false, "-7", {0xD5, U, U, U}, ""},
        WriteCase{"one_decimal_cell_holds_99", 1, 0, 0, false, "123", {U, U, U, U}, "Значение 123"},
        WriteCase{"read_only", 1, 0, 0, true, "5", {U, U, U, U}, "Параметр только для чтения"},
        WriteCase{"dotted_sends_nothing", 30, 0, 0, false, "5", {U, U, U, U}, ""},
        WriteCase{"dotted_read_only_sends_nothing_and_shows_nothing",
                  30,
                  0,
                  0,
                  true,
                  "5",
                  {U, U, U, U},
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParamFormLine, AFailedWriteKeepsTheCellsBeforeItAndSendsNoneAfter) {
    SetCells({kUntouched, kUntouched, kUntouched, kUntouched});
    Open(Parameter("p", 3, 0, 0));
    form.edValue.SetText("123456");
    SilenceExchange(2);  // the controller takes the second cell, but its answer is lost
    form.WriteValueBtn.OnClick();
    EXPECT_EQ(Cells(), (std::vector<std::uint8_t>{0x12, 0x34, U, U}));
    EXPECT_EQ(services.errors, std::vector<std::string>{"Невозможно установить параметр "});
}

struct NozzleCase {
    const char* name;
    std::uint8_t cell1, cell2;
    int silenced;  // the exchange that gets no reply, 0 for none
    const char* shown1;
    const char* shown2;
};

class ParamFormNozzles : public ParamFormLine, public ::testing::WithParamInterface<NozzleCase> {};

TEST_P(ParamFormNozzles, EachFieldOnItsOwn) {
    const NozzleCase& c = GetParam();
    SetCells({0x01}, 0x30);
    SetCells({0x12}, 0x40);
    Open(Parameter("p", 1), c.cell1, c.cell2);
    // The fields keep what they showed until the first tick.
    EXPECT_EQ(form.edActiveNozzle1.Text + form.edActiveNozzle2.Text, "00");
    EXPECT_TRUE(form.Timer1.Enabled);
    SilenceExchange(c.silenced);
    const auto exchanges = link.Counters().exchanges;
    form.Timer1.OnTimer();
    EXPECT_EQ(form.edActiveNozzle1.Text, c.shown1);
    EXPECT_EQ(form.edActiveNozzle2.Text, c.shown2);
    EXPECT_EQ(link.Counters().exchanges - exchanges, (c.cell1 != 0) + (c.cell2 != 0));
    EXPECT_TRUE(services.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Cells, ParamFormNozzles,
                         ::testing::Values(NozzleCase{"both", 0x30, 0x40, 0, "1", "12"},
                                           NozzleCase{"cell_0_sends_nothing", 0, 0x40, 0, "---",
                                                      "12"},
                                           NozzleCase{"first_fails", 0x30, 0x40, 1, "???", "12"},
                                           NozzleCase{"second_fails", 0x30, 0x40, 2, "1", "???"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ParamFormLine, TheCalculatorStartsFromTheValueRead) {
    SetCells({0x01, 0x00, 0x00});
    Open(Parameter("k", 3, 0, 4, false, 1));
    ASSERT_TRUE(form.FuncBtn.Visible);
    std::string opened;
    const auto measure = [&opened](TUstForm& calculator) {
        opened = calculator.edKo.Text;
        calculator.edVm.SetText("10.05");
        calculator.BitBtn3.OnClick();
    };
    services.modals.push_back(Person<TUstForm>(measure, ModalResult::Ok));
    form.FuncBtn.OnClick();
    EXPECT_EQ(opened, "1.0000");
    EXPECT_EQ(form.edValue.Text(), "1.0050");

    // After a failed read it starts from 0.
    bus.InjectFault(emulator::Fault::Silence);
    services.modals.push_back(Person<TUstForm>(measure, ModalResult::Ok));
    form.FuncBtn.OnClick();
    EXPECT_EQ(opened, "0.0000");
    EXPECT_EQ(form.edValue.Text(), "0.0000");
}

}  // namespace
}  // namespace fuel::tool
