// The programming dialog as a technician uses it: the host adds the menu item, the item is
// clicked, and a second thread works the real dialog through window messages while the
// first runs it modally, as the host's user-interface thread would. Behind the driver is
// the controller emulator, so every cell read or written is a real cell.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "platform/win32/FormLayout.h"
#include "tests/win32/BridgeMenu.h"
#include "tests/win32/DialogDriver.h"
#include "tests/win32/DllSession.h"
#include "tests/win32/EmulatedHost.h"
#include "tests/win32/Scene.h"

namespace fuel::test::win32 {
namespace {

using fuel::win32::LayoutOf;

constexpr char kDialogCaption[] = "Программирование параметров ТРК";
constexpr const char* kSettings = kSettingsDirectory;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string CnfIniPath() {
    char directory[MAX_PATH] = {};
    GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\cnf.INI";
}

std::string Separator() {
    wchar_t separator[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    return separator[0] == L',' ? "," : ".";
}

// What the person saw, gathered on the driving thread and judged on the test's own.
struct Seen {
    bool opened = false;
    std::string controllerAfterShow, parameterAfterShow, cell0, cell1;
    std::string read, readAfterWrite, errorBox;
    std::string deleteQuestion;
    int deleteDefaultButton = 0;
    int parametersAfterNo = 0;
    std::string activeAtOpen, active1, active2;
    bool timerRan = false;
    std::string editorName, renamedParameter;
    int controllersAfterAdd = 0;
    std::string newController;
    std::string coefficient, computed, valueAfterCalculator;
    std::string saveQuestion;
    bool closed = false;
    std::vector<std::string> failures;
    // The second opening.
    int controllersOnReopen = 0;
    std::string addressOnReopen;
    std::string addressAfterArrows;
};

class ProgrammingDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.Loaded());
        DeleteFileA(CnfIniPath().c_str());
        WriteCatalogue();
        object_ = dll_.Create(0, host_.Object());
        ASSERT_NE(object_, nullptr);
        BridgeItem* trk = menu_.root.Add(Cp1251("&ТРК"));
        (void)trk;
        ASSERT_FALSE(dll_.AddMenuItems(object_, &menu_.root, BridgeMenu::Factory()).raised);
        ASSERT_EQ(menu_.calls.size(), 1u);
        item_ = menu_.calls[0].created;
    }

    // The technician picks the menu item: the dialog runs modally until it is closed.
    GuardedOutcome ClickMenuItem() {
        return CallStdcallGuarded(item_->clickRoutine, {Word(item_->clickObject), Word(item_)});
    }

    emulator::Emulator bus_{SceneBus()};
    EmulatedHost host_{bus_};
    DllSession dll_;
    BridgeMenu menu_;
    void* object_ = nullptr;
    BridgeItem* item_ = nullptr;
};

// The control of the programming dialog named in its layout.
HWND Control(HWND dialog, std::string_view form, std::string_view name) {
    const auto* place = LayoutOf(form)->Find(name);
    return place == nullptr ? nullptr
                            : DialogDriver::ControlAt(dialog, place->place.x, place->place.y);
}

// Each step, on the test's output: under an emulated Wine a step may take seconds, and a
// stuck one is then plain to see.
void Step(const char* what) {
    std::fprintf(stderr, "[ person   ] %s\n", what);
}

void Work(const DialogDriver& person, Seen& seen) {
    const std::string sep = Separator();
    auto fail = [&](const std::string& what) { seen.failures.push_back(what); };
    Step("waiting for the dialog");
    HWND dialog = person.WaitForWindow(kDialogCaption);
    if (dialog == nullptr) {
        return fail("the dialog did not open");
    }
    seen.opened = true;
    auto control = [&](std::string_view name) { return Control(dialog, "LParamForm", name); };
    HWND active1 = control("edActiveNozzle1");
    HWND active2 = control("edActiveNozzle2");
    seen.activeAtOpen = DialogDriver::Text(active1) + " " + DialogDriver::Text(active2);
    HWND controllers = control("cbCntList");
    HWND parameters = control("cbParamList");
    HWND readValue = control("edReadValue");
    HWND value = control("edValue");
    HWND save = DialogDriver::ButtonCalled(dialog, "Сохранить изменения");
    if (controllers == nullptr || parameters == nullptr || readValue == nullptr ||
        value == nullptr || save == nullptr) {
        return fail("a control of the dialog is missing");
    }
    // FormShow selected the first controller and its first parameter.
    person.WaitFor([&] { return DialogDriver::Selection(parameters) >= 0; });
    seen.controllerAfterShow =
        DialogDriver::Item(controllers, DialogDriver::Selection(controllers));
    seen.parameterAfterShow = DialogDriver::Item(parameters, DialogDriver::Selection(parameters));
    seen.cell0 = DialogDriver::Text(control("edS0"));
    seen.cell1 = DialogDriver::Text(control("edS1"));

    Step("choosing a controller and a parameter, reading");
    DialogDriver::Choose(controllers, 1);
    DialogDriver::Choose(controllers, 0);
    DialogDriver::Choose(parameters, 0);
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Считать"));
    seen.read = DialogDriver::Text(readValue);

    Step("writing a new price and reading it back");
    DialogDriver::Type(value, "56" + sep + "78");
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Записать"));
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Считать"));
    seen.readAfterWrite = DialogDriver::Text(readValue);

    Step("writing a value that is no number");
    DialogDriver::Type(value, "abc");
    DialogDriver::PostClick(DialogDriver::ButtonCalled(dialog, "Записать"));
    if (HWND box = person.WaitForWindow("Error", L"#32770")) {
        seen.errorBox = DialogDriver::BoxText(box);
        DialogDriver::Answer(box, IDOK);
    }

    Step("the refresh timer, and a tick of it");
    // The dialog's own timer refreshes the active nozzles every 4 seconds.
    seen.timerRan = person.WaitFor([&] { return DialogDriver::Text(active2) != "0"; });
    PostMessageW(dialog, WM_TIMER, 1, 0);
    person.WaitFor([&] { return DialogDriver::Text(active1) != "0"; });
    seen.active1 = DialogDriver::Text(active1);
    seen.active2 = DialogDriver::Text(active2);

    Step("deleting a parameter, answered No");
    DialogDriver::PostClick(control("btnDel_Pr"));
    if (HWND box = person.WaitForWindow("Message", L"#32770")) {
        seen.deleteQuestion = DialogDriver::BoxText(box);
        seen.deleteDefaultButton = DialogDriver::DefaultButton(box);
        DialogDriver::Answer(box, IDNO);
        person.WaitUntilGone("Message");
    } else {
        fail("no question before deleting");
    }
    seen.parametersAfterNo = DialogDriver::Count(parameters);

    Step("the parameter editor: the price renamed");
    DialogDriver::PostClick(control("btnEdit_Pr"));
    if (HWND editor = person.WaitForWindow("Параметр")) {
        HWND name = Control(editor, "ParamForm", "edName");
        seen.editorName = DialogDriver::Text(name);
        DialogDriver::Type(name, "Цена за литр");
        DialogDriver::Click(DialogDriver::ButtonCalled(editor, "OK"));
        person.WaitUntilGone("Параметр");
    } else {
        fail("the parameter editor did not open");
    }
    DialogDriver::Choose(controllers, 0);
    seen.renamedParameter = DialogDriver::Item(parameters, 0);

    Step("the controller editor: a new controller");
    DialogDriver::PostClick(control("btnAdd_Kup"));
    if (HWND editor = person.WaitForWindow("КУП")) {
        DialogDriver::Type(Control(editor, "KUPForm", "edName"), "КУП-3");
        DialogDriver::Click(DialogDriver::ButtonCalled(editor, "OK"));
        person.WaitUntilGone("КУП");
    } else {
        fail("the controller editor did not open");
    }
    seen.controllersAfterAdd = DialogDriver::Count(controllers);
    seen.newController = DialogDriver::Item(controllers, seen.controllersAfterAdd - 1);

    Step("the calculator");
    DialogDriver::Choose(controllers, 0);
    DialogDriver::Choose(parameters, 1);
    DialogDriver::PostClick(control("FuncBtn"));
    if (HWND calculator = person.WaitForWindow("Расчет юстировочного коэффициента")) {
        seen.coefficient = DialogDriver::Text(Control(calculator, "UstForm", "edKo"));
        DialogDriver::Type(Control(calculator, "UstForm", "edVm"), "10" + sep + "05");
        DialogDriver::Click(DialogDriver::ButtonCalled(calculator, "Рассчитать"));
        seen.computed = DialogDriver::Text(Control(calculator, "UstForm", "edKn"));
        DialogDriver::Click(DialogDriver::ButtonCalled(calculator, "OK"));
        person.WaitUntilGone("Расчет юстировочного коэффициента");
        seen.valueAfterCalculator = DialogDriver::Text(value);
    } else {
        fail("the calculator did not open");
    }

    Step("an option, then saving");
    DialogDriver::Click(control("WDozaEdit"));
    DialogDriver::PostClick(save);
    if (HWND box = person.WaitForWindow("Message", L"#32770")) {
        seen.saveQuestion = DialogDriver::BoxText(box);
        DialogDriver::Answer(box, IDYES);
        person.WaitUntilGone("Message");
    } else {
        fail("no question before saving");
    }

    Step("closing, with another address typed");
    DialogDriver::Type(control("edAddress"), "3");
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Выход"));
    seen.closed = person.WaitUntilGone(kDialogCaption);
    Step(seen.closed ? "closed" : "still open");
}

void Reopen(const DialogDriver& person, Seen& seen) {
    Step("waiting for the dialog to open again");
    HWND dialog = person.WaitForWindow(kDialogCaption);
    if (dialog == nullptr) {
        seen.failures.push_back("the dialog did not open again");
        return;
    }
    HWND controllers = Control(dialog, "LParamForm", "cbCntList");
    person.WaitFor([&] { return DialogDriver::Count(controllers) > 0; });
    seen.controllersOnReopen = DialogDriver::Count(controllers);
    HWND address = Control(dialog, "LParamForm", "edAddress");
    seen.addressOnReopen = DialogDriver::Text(address);
    Step("the address's arrows");
    DialogDriver::Spin(address, true);
    DialogDriver::Spin(address, true);
    DialogDriver::Spin(address, false);
    seen.addressAfterArrows = DialogDriver::Text(address);
    Step("closing again");
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Выход"));
    person.WaitUntilGone(kDialogCaption);
}

// Runs the menu item on this thread while work drives the dialog from another; a step that
// gets stuck closes everything, so that the test always ends.
template <typename Click, typename Work, typename Record>
GuardedOutcome RunDialog(Click click, Work work, Record& seen) {
    DialogDriver person(GetCurrentThreadId());
    std::atomic<bool> done{false};
    std::thread driver([&] {
        work(person, seen);
        // Whatever happened, the dialog's loop must end for the test to report.
        person.CloseEverything();
        done = true;
    });
    const GuardedOutcome outcome = click();
    Step("the menu item's handler returned");
    // The host's thread goes on serving its messages, as a host's does.
    while (!done) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        Sleep(20);
    }
    driver.join();
    return outcome;
}

TEST_F(ProgrammingDialog, ATechnicianReadsWritesEditsAndSaves) {
    Seen seen;
    const GuardedOutcome run = RunDialog([this] { return ClickMenuItem(); }, Work, seen);
    EXPECT_FALSE(run.raised) << run.className << ": " << run.message;
    EXPECT_EQ(run.call.stackImbalance, 0);
    for (const std::string& failure : seen.failures) {
        ADD_FAILURE() << failure;
    }
    const std::string sep = Separator();
    EXPECT_TRUE(seen.opened);
    EXPECT_EQ(seen.controllerAfterShow, "КУП-1");
    EXPECT_EQ(seen.parameterAfterShow, "Цена");
    EXPECT_EQ(seen.cell0, "10");
    EXPECT_EQ(seen.cell1, "11");
    EXPECT_EQ(seen.read, "12" + sep + "34");
    EXPECT_EQ(seen.readAfterWrite, "56" + sep + "78");
    EXPECT_FALSE(seen.errorBox.empty());
    EXPECT_EQ(seen.deleteQuestion, "Удалить параметр?");
    EXPECT_EQ(seen.deleteDefaultButton, IDNO);
    EXPECT_EQ(seen.parametersAfterNo, 2);
    EXPECT_EQ(seen.activeAtOpen, "0 0");  // until the first tick
    EXPECT_TRUE(seen.timerRan);
    EXPECT_EQ(seen.active1, "2");
    EXPECT_EQ(seen.active2, "15");
    EXPECT_EQ(seen.editorName, "Цена");
    EXPECT_EQ(seen.renamedParameter, "Цена за литр");
    EXPECT_EQ(seen.controllersAfterAdd, 3);
    EXPECT_EQ(seen.newController, "КУП-3");
    EXPECT_EQ(seen.coefficient, "1" + sep + "0000");
    EXPECT_EQ(seen.computed, "1" + sep + "0050");
    EXPECT_EQ(seen.valueAfterCalculator, "1" + sep + "005");
    EXPECT_EQ(seen.saveQuestion, "Записать изменения?");
    EXPECT_TRUE(seen.closed);

    // The real cells, the files, and the driver's options.
    EXPECT_EQ(bus_.RamCell(1, 0x10), 0x56);
    EXPECT_EQ(bus_.RamCell(1, 0x11), 0x78);
    const std::string catalogue = ReadFile(std::string(kSettings) + "VPP.ini");
    EXPECT_NE(catalogue.find(Cp1251("КУП-3")), std::string::npos) << catalogue;
    const std::string parameters = ReadFile(std::string(kSettings) + "kup1.ini");
    EXPECT_NE(parameters.find(Cp1251("Цена за литр")), std::string::npos) << parameters;
    const std::string options = ReadFile(CnfIniPath());
    for (const char* line : {"OrigAdres=0", "StartInLiter=1", "WStart=0", "WDoza=1"}) {
        EXPECT_NE(options.find(line), std::string::npos) << options;
    }
    struct ObjectView {
        const void* const* table;
        TVM30* driver;
    };
    EXPECT_TRUE(static_cast<ObjectView*>(object_)->driver->WDoza);

    // Where the dialog stood, kept for the next run.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\FuelDriver\\ServiceTool\\LParamForm", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    for (const wchar_t* name : {L"Left", L"Top"}) {
        DWORD type = 0;
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(type, DWORD{REG_DWORD});
    }
    RegCloseKey(key);

    // Opened again: the saved catalogue, the control values of the last opening.
    Seen again;
    RunDialog([this] { return ClickMenuItem(); }, Reopen, again);
    for (const std::string& failure : again.failures) {
        ADD_FAILURE() << failure;
    }
    EXPECT_EQ(again.controllersOnReopen, 3);
    EXPECT_EQ(again.addressOnReopen, "3");
    EXPECT_EQ(again.addressAfterArrows, "4");
}

// A catalogue edited by hand: КУП-2 names КУП-1's file in other letters (one file on
// Windows), КУП-3 a file above the settings directory, КУП-4 its file with a leading
// backslash. What the technician sees, and that a save writes nothing.
struct SeenRefusals {
    std::string loadBox, saveQuestion, saveBox, fourthsParameter;
    int secondsParameters = 0;
    bool closed = false;
    std::vector<std::string> failures;
};

constexpr char kAboveSettings[] = "C:\\KORA\\outside.ini";

void WorkRefusals(const DialogDriver& person, SeenRefusals& seen) {
    auto fail = [&](const std::string& what) { seen.failures.push_back(what); };
    Step("waiting for the dialog and the box about what did not load");
    HWND dialog = person.WaitForWindow(kDialogCaption);
    if (dialog == nullptr) {
        return fail("the dialog did not open");
    }
    if (HWND box = person.WaitForWindow("Error", L"#32770")) {
        seen.loadBox = DialogDriver::BoxText(box);
        DialogDriver::Answer(box, IDOK);
        person.WaitUntilGone("Error");
    } else {
        fail("no box about the file above the settings directory");
    }
    HWND controllers = Control(dialog, "LParamForm", "cbCntList");
    HWND parameters = Control(dialog, "LParamForm", "cbParamList");
    person.WaitFor([&] { return DialogDriver::Count(controllers) == 4; });
    DialogDriver::Choose(controllers, 3);
    seen.fourthsParameter = DialogDriver::Item(parameters, 0);
    DialogDriver::Choose(controllers, 1);
    seen.secondsParameters = DialogDriver::Count(parameters);

    Step("saving, answered Yes");
    DialogDriver::PostClick(DialogDriver::ButtonCalled(dialog, "Сохранить изменения"));
    if (HWND question = person.WaitForWindow("Message", L"#32770")) {
        seen.saveQuestion = DialogDriver::BoxText(question);
        DialogDriver::Answer(question, IDYES);
        person.WaitUntilGone("Message");
    } else {
        fail("no question before saving");
    }
    if (HWND box = person.WaitForWindow("Error", L"#32770")) {
        seen.saveBox = DialogDriver::BoxText(box);
        DialogDriver::Answer(box, IDOK);
        person.WaitUntilGone("Error");
    } else {
        fail("no box refusing the save");
    }
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Выход"));
    seen.closed = person.WaitUntilGone(kDialogCaption);
}

TEST_F(ProgrammingDialog, SharedAndOutsideFilesAreRefusedAndNothingIsWritten) {
    const std::string settings = kSettings;
    const std::string catalogue = Cp1251(
        "[main]\r\nCount=4\r\n[item0]\r\nName=КУП-1\r\nFile=kup1.ini\r\n[item1]\r\n"
        "Name=КУП-2\r\nFile=KUP1.INI\r\n[item2]\r\nName=КУП-3\r\nFile=..\\outside.ini\r\n"
        "[item3]\r\nName=КУП-4\r\nFile=\\kup4.ini\r\n");
    const std::string above = "[main]\r\nCount=1\r\n[item0]\r\nName=P\r\n";
    std::ofstream(settings + "VPP.ini", std::ios::binary) << catalogue;
    std::ofstream(settings + "kup4.ini", std::ios::binary)
        << Cp1251("[main]\r\nCount=1\r\n[item0]\r\nName=Д1\r\nType=1\r\nCell0=10\r\n");
    std::ofstream(kAboveSettings, std::ios::binary) << above;
    const std::string first = ReadFile(settings + "kup1.ini");

    SeenRefusals seen;
    const GuardedOutcome run = RunDialog([this] { return ClickMenuItem(); }, WorkRefusals, seen);
    EXPECT_FALSE(run.raised) << run.className << ": " << run.message;
    for (const std::string& failure : seen.failures) {
        ADD_FAILURE() << failure;
    }
    EXPECT_NE(seen.loadBox.find("\"КУП-3\""), std::string::npos) << seen.loadBox;
    EXPECT_NE(seen.loadBox.find("..\\outside.ini"), std::string::npos) << seen.loadBox;
    EXPECT_EQ(seen.fourthsParameter, "Д1");
    EXPECT_EQ(seen.secondsParameters, 2);
    EXPECT_EQ(seen.saveQuestion, "Записать изменения?");
    for (const char* named : {"\"КУП-1\" и \"КУП-2\"", "kup1.ini", "KUP1.INI", "\"КУП-3\""}) {
        EXPECT_NE(seen.saveBox.find(named), std::string::npos) << seen.saveBox;
    }
    EXPECT_TRUE(seen.closed);
    EXPECT_EQ(ReadFile(settings + "VPP.ini"), catalogue);
    EXPECT_EQ(ReadFile(settings + "kup1.ini"), first);
    EXPECT_EQ(ReadFile(kAboveSettings), above);
    EXPECT_EQ(GetFileAttributesA(CnfIniPath().c_str()), INVALID_FILE_ATTRIBUTES);
    // The next test starts from its own catalogue.
    for (const std::string& file :
         {settings + "VPP.ini", settings + "kup4.ini", std::string(kAboveSettings)}) {
        DeleteFileA(file.c_str());
    }
}

}  // namespace
}  // namespace fuel::test::win32
