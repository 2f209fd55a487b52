#include "tool/ControllerFileName.h"

#include <array>

#include "driver/Text1251.h"

namespace fuel::tool {
namespace {

constexpr char kFallbackName[] = "КУП";
constexpr char kExtension[] = ".ini";

bool Forbidden(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
        return true;
    }
    for (const char f : std::string_view("<>:\"/\\|?*")) {
        if (c == f) {
            return true;
        }
    }
    return false;
}

bool DeviceName(std::string_view cp1251) {
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

// Windows-1251 text, where one byte is one character.
std::string SafeStem(std::string_view name) {
    std::string stem = Utf8ToCp1251(name);
    for (char& c : stem) {
        if (Forbidden(c)) {
            c = '_';
        }
    }
    const auto dropAtEnds = [](char c) { return c == ' ' || c == '.'; };
    while (!stem.empty() && dropAtEnds(stem.back())) {
        stem.pop_back();
    }
    std::size_t first = 0;
    while (first < stem.size() && stem[first] == ' ') {
        ++first;
    }
    stem.erase(0, first);
    if (stem.size() > kMostFileNameCharacters) {
        stem.resize(kMostFileNameCharacters);
        while (!stem.empty() && dropAtEnds(stem.back())) {
            stem.pop_back();
        }
    }
    if (stem.empty() || stem.find_first_not_of('.') == std::string::npos) {
        stem = Utf8ToCp1251(kFallbackName);
    }
    if (DeviceName(stem)) {
        stem += '_';
    }
    return stem;
}

bool Taken(std::string_view candidate, const CControllerList& list) {
    if (SameIgnoringCaseCp1251(candidate, kCatalogueFileName)) {
        return true;
    }
    for (int i = 0; i < list.Count(); ++i) {
        if (SameIgnoringCaseCp1251(candidate, Utf8ToCp1251(list[i].File))) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string NewControllerFileName(std::string_view name, const CControllerList& list) {
    const std::string stem = SafeStem(name);
    std::string candidate = stem + kExtension;
    for (int copy = 2; Taken(candidate, list); ++copy) {
        candidate = stem + " (" + std::to_string(copy) + ")" + kExtension;
    }
    return Cp1251ToUtf8(candidate);
}

}  // namespace fuel::tool
