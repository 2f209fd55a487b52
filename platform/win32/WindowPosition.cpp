#include "platform/win32/WindowPosition.h"

#include <string>

#include "platform/win32/WideText.h"

namespace fuel::win32 {
namespace {

std::wstring KeyOf(std::string_view form) {
    return L"Software\\FuelDriver\\ServiceTool\\" + Wide(form);
}

}  // namespace

std::optional<POINT> LoadWindowPosition(std::string_view form) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyOf(form).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD values[2] = {};
    bool complete = true;
    const wchar_t* const names[2] = {L"Left", L"Top"};
    for (int i = 0; i < 2; ++i) {
        DWORD type = 0;
        DWORD size = sizeof values[i];
        if (RegQueryValueExW(key, names[i], nullptr, &type, reinterpret_cast<BYTE*>(&values[i]),
                             &size) != ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof values[i]) {
            complete = false;
        }
    }
    RegCloseKey(key);
    if (!complete) {
        return std::nullopt;
    }
    // Stored as the bits of a signed number: a monitor left of the main one has negative x.
    return POINT{static_cast<LONG>(static_cast<std::int32_t>(values[0])),
                 static_cast<LONG>(static_cast<std::int32_t>(values[1]))};
}

void SaveWindowPosition(std::string_view form, POINT position) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, KeyOf(form).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;  // a position not kept is no reason to trouble the technician
    }
    const DWORD values[2] = {static_cast<DWORD>(position.x), static_cast<DWORD>(position.y)};
    RegSetValueExW(key, L"Left", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[0]),
                   sizeof values[0]);
    RegSetValueExW(key, L"Top", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[1]),
                   sizeof values[1]);
    RegCloseKey(key);
}

}  // namespace fuel::win32
