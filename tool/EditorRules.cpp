#include "tool/EditorRules.h"

#include "driver/Text1251.h"

namespace fuel::tool {

std::uint8_t TypeFromCells(const std::array<std::uint8_t, 6>& cells) {
    std::uint8_t type = 1;
    for (std::uint8_t cell = 1; cell <= 3; ++cell) {
        if (cells[cell] != 0) {
            type = static_cast<std::uint8_t>(cell + 1);
        }
    }
    return type;
}

bool FitsCp1251(std::string_view text) {
    return Cp1251ToUtf8(Utf8ToCp1251(text)) == text;
}

std::optional<std::string> NameRefusal(std::string_view name) {
    if (FitsCp1251(name)) {
        return std::nullopt;
    }
    return "В наименовании \"" + std::string(name) +
           "\" есть знаки, которых нет в кодировке Windows-1251: файлы каталога их не сохранят";
}

}  // namespace fuel::tool
