// Durable files on Windows: CREATE_NEW for a new file, FlushFileBuffers before it is used,
// and MoveFileExW with MOVEFILE_REPLACE_EXISTING (a rename within the volume, which NTFS
// makes atomic) and MOVEFILE_WRITE_THROUGH (it returns once the rename is on the disk).
#include "tool/DurableFile.h"

#include <windows.h>

#include <string>

#include "driver/Exceptions.h"
#include "platform/win32/WideText.h"

namespace fuel::tool::durable {
namespace {

std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = "ошибка " + std::to_string(error);
    if (length > 0 && text != nullptr) {
        std::wstring wide(text, length);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' ||
                                 wide.back() == L' ' || wide.back() == L'.')) {
            wide.pop_back();
        }
        message = win32::Utf8(wide) + " (" + message + ")";
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    return message;
}

[[noreturn]] void Fail(const char* what, const std::filesystem::path& path, DWORD error) {
    throw Exception(std::string(what) + win32::Utf8(path.wstring()) + ": " + SystemMessage(error));
}

// A file that could not be written whole is not left behind.
[[noreturn]] void Abandon(HANDLE file, const std::filesystem::path& path, DWORD error) {
    CloseHandle(file);
    DeleteFileW(path.c_str());
    Fail("Невозможно записать файл ", path, error);
}

}  // namespace

bool WriteNewFile(const std::filesystem::path& path, std::string_view bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            return false;
        }
        Fail("Невозможно создать файл ", path, error);
    }
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x100000 ? 0x100000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            Abandon(file, path, GetLastError());
        }
        bytes.remove_prefix(written);
    }
    if (!FlushFileBuffers(file)) {
        Abandon(file, path, GetLastError());
    }
    if (!CloseHandle(file)) {
        const DWORD error = GetLastError();
        DeleteFileW(path.c_str());
        Fail("Невозможно записать файл ", path, error);
    }
    return true;
}

void PutInPlace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Fail("Невозможно заменить файл ", to, GetLastError());
    }
}

}  // namespace fuel::tool::durable
