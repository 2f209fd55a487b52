#include "tool/ControllerFileName.h"

#include "driver/Text1251.h"
#include "tool/ParameterFile.h"

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
    if (IsDeviceName(stem)) {
        stem += '_';
    }
    return stem;
}

// Any file another controller names is taken, however the name is written ("\X1.ini" and
// "x1.INI" are one file).
bool Taken(std::string_view candidate, const CControllerList& list) {
    if (SameParameterFile(candidate, kCatalogueFileName)) {
        return true;
    }
    for (int i = 0; i < list.Count(); ++i) {
        if (SameParameterFile(candidate, list[i].File)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string NewControllerFileName(std::string_view name, const CControllerList& list) {
    const std::string stem = Cp1251ToUtf8(SafeStem(name));
    std::string candidate = stem + kExtension;
    for (int copy = 2; Taken(candidate, list); ++copy) {
        candidate = stem + " (" + std::to_string(copy) + ")" + kExtension;
    }
    return candidate;
}

bool NeedsOwnFile(const CController& controller, const CControllerList& list) {
    if (controller.File.empty() || ParameterFileRefusal(controller.File) ||
        SameParameterFile(controller.File, kCatalogueFileName)) {
        return true;
    }
    for (int i = 0; i < list.Count(); ++i) {
        if (&list[i] != &controller && SameParameterFile(controller.File, list[i].File)) {
            return true;
        }
    }
    return false;
}

bool GiveOwnFileWhenNeeded(CController& controller, const CControllerList& list) {
    if (!NeedsOwnFile(controller, list)) {
        return false;
    }
    controller.File = NewControllerFileName(controller.Name, list);
    return true;
}

}  // namespace fuel::tool
