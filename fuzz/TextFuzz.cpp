// The file-side parsers: INI text, integers in INI values, and both text conversions.
#include <string_view>

#include "driver/IniFile.h"
#include "driver/Text1251.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const fuel::IniFile ini = fuel::IniFile::Parse(text);
    ini.ReadBool("Varno", "WStart", true);
    ini.ReadString("", "");
    fuel::ParseInteger(text);
    const std::string utf8 = fuel::Cp1251ToUtf8(text);
    // Every byte string survives the trip to UTF-8 and back.
    if (fuel::Utf8ToCp1251(utf8) != text) {
        __builtin_trap();
    }
    fuel::Utf8ToCp1251(text);
    return 0;
}
