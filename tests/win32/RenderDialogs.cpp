// Opens each of the service tool's four dialogs in turn, filled as a technician would see
// them, for scripts/render-dialogs.sh to photograph: for each it writes NAME.ready (the
// window's screen rectangle: left top width height) into the directory given, and waits for
// NAME.done there before it goes on. The catalogue and the controller are the dialog tests'.
//
// Usage: render_dialogs.exe DIRECTORY
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/win32/FormLayout.h"
#include "tests/win32/BridgeMenu.h"
#include "tests/win32/DialogDriver.h"
#include "tests/win32/EmulatedHost.h"
#include "tests/win32/HostCalls.h"
#include "tests/win32/Scene.h"

namespace fuel::test::win32 {
namespace {

using fuel::win32::LayoutOf;

char separator = '.';

HWND Control(HWND dialog, std::string_view form, std::string_view name) {
    const auto* place = LayoutOf(form)->Find(name);
    return DialogDriver::ControlAt(dialog, place->place.x, place->place.y);
}

std::string FileIn(const std::string& directory, const std::string& name, const char* suffix) {
    std::string path;
    path.reserve(directory.size() + name.size() + 16);
    path.append(directory).append("\\").append(name).append(suffix);
    return path;
}

std::string Number(const char* whole, const char* fraction) {
    std::string text(whole);
    text.push_back(separator);
    text.append(fraction);
    return text;
}

// Hands the window to the photographer and waits until the picture is taken.
bool Pose(const std::string& directory, const std::string& name, HWND window,
          const DialogDriver& person) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    std::this_thread::sleep_for(1500ms);  // the X server shows what Wine drew
    RECT rect{};
    GetWindowRect(window, &rect);
    {
        std::ofstream ready(FileIn(directory, name, ".ready.tmp"));
        ready << rect.left << ' ' << rect.top << ' ' << rect.right - rect.left << ' '
              << rect.bottom - rect.top << '\n';
    }
    MoveFileExA(FileIn(directory, name, ".ready.tmp").c_str(),
                FileIn(directory, name, ".ready").c_str(), MOVEFILE_REPLACE_EXISTING);
    const std::string done = FileIn(directory, name, ".done");
    return person.WaitFor(
        [&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

void Photograph(const std::string& directory, const DialogDriver& person) {
    HWND dialog = person.WaitForWindow("Программирование параметров ТРК");
    if (dialog == nullptr) {
        return;
    }
    auto control = [&](std::string_view name) { return Control(dialog, "LParamForm", name); };
    HWND parameters = control("cbParamList");
    person.WaitFor([&] { return DialogDriver::Count(parameters) > 1; });
    DialogDriver::Choose(parameters, 1);
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Считать"));
    DialogDriver::Type(control("edValue"), Number("1", "005"));
    PostMessageW(dialog, WM_TIMER, 1, 0);
    person.WaitFor([&] { return DialogDriver::Text(control("edActiveNozzle2")) != "0"; });
    Pose(directory, "programming-dialog", dialog, person);

    DialogDriver::PostClick(control("btnEdit_Pr"));
    if (HWND editor = person.WaitForWindow("Параметр")) {
        Pose(directory, "parameter-editor", editor, person);
        DialogDriver::Click(DialogDriver::ButtonCalled(editor, "Отмена"));
        person.WaitUntilGone("Параметр");
    }
    DialogDriver::PostClick(control("btnEdit_Kup"));
    if (HWND editor = person.WaitForWindow("КУП")) {
        Pose(directory, "controller-editor", editor, person);
        DialogDriver::Click(DialogDriver::ButtonCalled(editor, "Отмена"));
        person.WaitUntilGone("КУП");
    }
    DialogDriver::Choose(parameters, 1);
    DialogDriver::PostClick(control("FuncBtn"));
    if (HWND calculator = person.WaitForWindow("Расчет юстировочного коэффициента")) {
        DialogDriver::Type(Control(calculator, "UstForm", "edVm"), Number("10", "05"));
        DialogDriver::Click(DialogDriver::ButtonCalled(calculator, "Рассчитать"));
        Pose(directory, "adjustment-calculator", calculator, person);
        DialogDriver::Click(DialogDriver::ButtonCalled(calculator, "Отмена"));
        person.WaitUntilGone("Расчет юстировочного коэффициента");
    }
    DialogDriver::Click(DialogDriver::ButtonCalled(dialog, "Выход"));
}

int Run(const std::string& directory) {
    wchar_t decimal[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 8);
    separator = decimal[0] == L',' ? ',' : '.';
    WriteCatalogue();
    emulator::Emulator bus(SceneBus());
    EmulatedHost host(bus);
    HMODULE module = LoadLibraryA(FUEL_DLL_FILE);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", FUEL_DLL_FILE);
        return 1;
    }
    const void* factory = reinterpret_cast<const void*>(GetProcAddress(module, "GetVE30"));
    void* object = reinterpret_cast<void*>(static_cast<std::uintptr_t>(
        CallStdcallGuarded(factory, {0, 0, Word(host.Object())}).call.eax));
    BridgeMenu menu;
    menu.root.Add("&\xD2\xD0\xCA");  // "&ТРК" in Windows-1251
    const void* addMenuItems = (*static_cast<const void* const* const*>(object))[24];
    CallStdcallGuarded(addMenuItems, {Word(object), Word(&menu.root), Word(BridgeMenu::Factory())});
    if (menu.calls.empty()) {
        std::fprintf(stderr, "no menu item was added\n");
        return 1;
    }
    BridgeItem* item = menu.calls[0].created;

    DialogDriver person(GetCurrentThreadId(), 120s);
    std::thread photographer([&] {
        Photograph(directory, person);
        person.CloseEverything();
    });
    CallStdcallGuarded(item->clickRoutine, {Word(item->clickObject), Word(item)});
    photographer.join();
    FreeLibrary(module);
    return 0;
}

}  // namespace
}  // namespace fuel::test::win32

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: render_dialogs.exe DIRECTORY\n");
        return 2;
    }
    return fuel::test::win32::Run(argv[1]);
}
