#include "tool/AtomicFile.h"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "driver/Exceptions.h"
#include "tool/DurableFile.h"
#include "tool/Utf8Path.h"

namespace fuel::tool {
namespace {

constexpr int kTemporaryNameAttempts = 100;

std::filesystem::path TemporaryBeside(const std::filesystem::path& path, std::uint32_t number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08X.tmp", number);
    std::filesystem::path temporary = path;
    temporary += suffix;
    return temporary;
}

}  // namespace

std::optional<std::string> ReadExistingFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::error_code error;
        if (!std::filesystem::exists(path, error) && !error) {
            return std::nullopt;
        }
        throw Exception("Невозможно прочитать файл " + Utf8FromPath(path));
    }
    try {
        std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (!file.bad()) {
            return text;
        }
    } catch (const std::exception&) {
        // a directory, or a read error: reported below
    }
    throw Exception("Невозможно прочитать файл " + Utf8FromPath(path));
}

void SaveFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    // A stray temporary file of an earlier crash keeps its name; a fresh name is drawn.
    std::uint32_t number = std::random_device{}();
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt, ++number) {
        const std::filesystem::path temporary = TemporaryBeside(path, number);
        if (!durable::WriteNewFile(temporary, bytes)) {
            continue;
        }
        try {
            durable::PutInPlace(temporary, path);
        } catch (...) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw;
        }
        return;
    }
    throw Exception("Невозможно создать временный файл для " + Utf8FromPath(path));
}

void UpdateIniFile(const std::filesystem::path& path, const std::function<void(IniFile&)>& change) {
    IniFile ini = IniFile::Parse(ReadExistingFile(path).value_or(std::string()));
    change(ini);
    SaveFileAtomically(path, ini.Text());
}

}  // namespace fuel::tool
