// The INI reader and writer, and the catalogue loader on top of them. Besides not crashing:
// a parsed text gives itself back whole; a written key reads back as written, also after a
// fresh parse; and writing one key changes what no other key reads.
#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "driver/IniFile.h"
#include "driver/Text1251.h"
#include "fuzz/FuzzInput.h"
#include "tool/Catalogue.h"

namespace {

// Pieces of catalogue files, so that generated inputs become files the loader reads deeply.
constexpr std::array<std::string_view, 32> kTokens = {"[",
                                                      "]",
                                                      "=",
                                                      "\r\n",
                                                      "\n",
                                                      "\r",
                                                      ";",
                                                      " ",
                                                      "\t",
                                                      "\"",
                                                      "'",
                                                      "main",
                                                      "item0",
                                                      "item1",
                                                      "Count",
                                                      "Name",
                                                      "File",
                                                      "Type",
                                                      "Dec",
                                                      "Cell0",
                                                      "Cell1",
                                                      "ActiveNozzle",
                                                      "PZU",
                                                      "1",
                                                      "2",
                                                      "30",
                                                      "FF",
                                                      "1FF",
                                                      "a.ini",
                                                      "\xCA\xD3\xCF",
                                                      "\xEA\xF3\xEF",
                                                      "\x1A"};

constexpr std::array<std::string_view, 6> kSections = {"main",  "MAIN",         "item0",
                                                       "Varno", "\xCA\xD3\xCF", " item1 "};
constexpr std::array<std::string_view, 6> kKeys = {"Count", "count",  "Name",
                                                   "Cell0", "WStart", "\xE8\xEC\xFF"};

std::string Text(fuel::fuzz::FuzzInput& input, bool tokens) {
    std::string text;
    while (!input.Empty()) {
        const std::uint8_t byte = input.Byte();
        if (tokens) {
            text += kTokens[byte % kTokens.size()];
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text;
}

std::filesystem::path Directory() {
    static const std::filesystem::path directory = [] {
        auto path = std::filesystem::temp_directory_path() / "fuel-ini-fuzz";
        std::filesystem::create_directories(path);
        return path;
    }();
    return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuel::fuzz::FuzzInput input(data, size);
    // An input that starts as text does ('[', ';', a letter) is a file as it is, as the seed
    // files are; any other first byte steers how the rest becomes a file and what is written.
    const bool file = size > 0 && data[0] >= 0x20;
    const std::uint8_t mode = file ? 2 : input.Byte();
    const auto section = kSections[(file ? size : input.Byte()) % kSections.size()];
    const auto key = kKeys[(file ? size / 7 : input.Byte()) % kKeys.size()];
    std::string value = file ? " quoted \"" : "";
    for (int length = file ? 0 : input.Byte() % 8; length > 0; --length) {
        const char c = static_cast<char>(input.Byte());
        if (c != '\r' && c != '\n' && c != '\0') {
            value += c;
        }
    }
    const std::string text = Text(input, (mode & 1) != 0);

    fuel::IniFile ini = fuel::IniFile::Parse(text);
    if (ini.Text() != text) {
        __builtin_trap();
    }
    std::array<std::optional<std::string>, kSections.size() * kKeys.size()> before;
    for (std::size_t i = 0; i < before.size(); ++i) {
        before[i] = ini.ReadString(kSections[i / kKeys.size()], kKeys[i % kKeys.size()]);
    }
    ini.WriteString(section, key, value);
    if (ini.ReadString(section, key) != value ||
        fuel::IniFile::Parse(ini.Text()).ReadString(section, key) != value) {
        __builtin_trap();
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
        const auto otherSection = kSections[i / kKeys.size()];
        const auto otherKey = kKeys[i % kKeys.size()];
        const bool same = fuel::SameIgnoringCaseCp1251(otherKey, key) && [&] {
            std::string_view a = otherSection, b = section;
            while (!a.empty() && a.front() == ' ')
                a.remove_prefix(1);
            while (!a.empty() && a.back() == ' ')
                a.remove_suffix(1);
            while (!b.empty() && b.front() == ' ')
                b.remove_prefix(1);
            while (!b.empty() && b.back() == ' ')
                b.remove_suffix(1);
            return fuel::SameIgnoringCaseCp1251(a, b);
        }();
        if (!same && ini.ReadString(otherSection, otherKey) != before[i]) {
            __builtin_trap();
        }
    }

    if ((mode & 2) != 0) {
        std::ofstream(Directory() / "VPP.ini", std::ios::binary | std::ios::trunc) << text;
        std::ofstream(Directory() / "a.ini", std::ios::binary | std::ios::trunc) << text;
        fuel::tool::CControllerList list(Directory());
        list.Load();
        std::vector<std::string> names;
        list.GetControllerNames(names);
    }
    return 0;
}
