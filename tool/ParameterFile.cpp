#include "tool/ParameterFile.h"

#include <array>
#include <vector>

#include "driver/Exceptions.h"
#include "driver/Text1251.h"
#include "tool/Utf8Path.h"

namespace fuel::tool {
namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The name's segments, without the empty ones (a leading or doubled separator) and without
// ".", which name nothing of their own.
std::vector<std::string_view> Segments(std::string_view name) {
    std::vector<std::string_view> segments;
    std::size_t at = 0;
    while (at <= name.size()) {
        std::size_t end = at;
        while (end < name.size() && !IsSeparator(name[end])) {
            ++end;
        }
        const std::string_view segment = name.substr(at, end - at);
        if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        at = end + 1;
    }
    return segments;
}

// "..", "...", ". .": Windows makes the parent of some of them, and which ones is not worth
// knowing when no catalogue needs any.
bool OnlyDots(std::string_view segment) {
    return segment.find_first_not_of(". ") == std::string_view::npos;
}

// What makes the name no file of the directory, or nullptr.
const char* Reason(std::string_view name) {
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return "управляющий знак в имени";
        }
        if (c == ':') {
            return "имя с диском";
        }
    }
    const auto segments = Segments(name);
    if (segments.empty()) {
        return "нет имени файла";
    }
    for (const std::string_view segment : segments) {
        if (OnlyDots(segment)) {
            return "переход в каталог выше";
        }
        if (IsDeviceName(Utf8ToCp1251(segment))) {
            return "имя устройства";
        }
    }
    return nullptr;
}

// A segment as Windows compares it: dots and blanks at its end dropped.
std::string_view Trimmed(std::string_view segment) {
    while (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) {
        segment.remove_suffix(1);
    }
    return segment;
}

}  // namespace

std::optional<std::string> ParameterFileRefusal(std::string_view fileName) {
    if (const char* reason = Reason(fileName)) {
        return "файл параметров \"" + std::string(fileName) + "\" не в каталоге настроек (" +
               reason + ")";
    }
    return std::nullopt;
}

std::filesystem::path ParameterFilePath(const std::filesystem::path& directory,
                                        std::string_view fileName) {
    if (const auto refusal = ParameterFileRefusal(fileName)) {
        throw Exception(*refusal);
    }
    std::filesystem::path path = directory;
    for (const std::string_view segment : Segments(fileName)) {
        path /= PathFromUtf8(segment);
    }
    return path;
}

bool SameParameterFile(std::string_view a, std::string_view b) {
    const auto first = Segments(a);
    const auto second = Segments(b);
    if (first.size() != second.size()) {
        return false;
    }
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (!SameIgnoringCaseCp1251(Utf8ToCp1251(Trimmed(first[i])),
                                    Utf8ToCp1251(Trimmed(second[i])))) {
            return false;
        }
    }
    return true;
}

bool IsDeviceName(std::string_view cp1251) {
    const std::string_view stem = cp1251.substr(0, cp1251.find('.'));
    static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
    for (const std::string_view device : kPlain) {
        if (SameIgnoringCaseCp1251(stem, device)) {
            return true;
        }
    }
    if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9') {
        return SameIgnoringCaseCp1251(stem.substr(0, 3), "COM") ||
               SameIgnoringCaseCp1251(stem.substr(0, 3), "LPT");
    }
    return false;
}

}  // namespace fuel::tool
