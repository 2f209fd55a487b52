#include "platform/win32/ServiceTool.h"

#include <filesystem>
#include <memory>

#include "platform/win32/DriverTable.h"
#include "platform/win32/FormServices.h"
#include "platform/win32/ModalDialog.h"
#include "tool/Catalogue.h"
#include "tool/ParamFormUnit.h"
#include "tool/Utf8Path.h"

namespace fuel::win32 {
namespace {

struct ServiceTool {
    WindowsFormServices services;
    std::unique_ptr<tool::TLParamForm> LParamForm;
    tool::ParamFormSettings settings;
};

// Made by the first opening, never by a static constructor: nothing of it may be left to
// the runtime's own clean-up at process exit, when its windows are already gone.
ServiceTool* serviceTool = nullptr;

tool::ParamFormSettings WindowsSettings() {
    tool::ParamFormSettings settings;
    settings.SettingsDirectory = tool::PathFromUtf8(tool::kWindowsSettingsDirectory);
    // The narrow path is in the system's code page, as GetWindowsDirectoryA gave it.
    settings.CnfIni = std::filesystem::path(CnfIniPath());
    return settings;
}

}  // namespace

void OpenProgrammingDialog(TVM30* driver) {
    if (serviceTool == nullptr) {
        serviceTool = new ServiceTool{{}, nullptr, WindowsSettings()};
    }
    tool::ShowProgrammingDialog(serviceTool->LParamForm, driver, serviceTool->services,
                                serviceTool->settings);
}

void CloseServiceTool() {
    if (serviceTool != nullptr) {
        // The windows go before the forms they show.
        serviceTool->services.DestroyWindows();
        delete serviceTool;
        serviceTool = nullptr;
    }
    ModalDialog::UnregisterWindowClass();
}

}  // namespace fuel::win32
