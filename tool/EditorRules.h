// What the catalogue editors decide on their own, whichever front end runs them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fuel::tool {

inline constexpr char kNewParameterName[] = "Новый параметр";
inline constexpr char kNewControllerName[] = "Новый КУП";
// The decimal places the parameter editor offers.
inline constexpr int kMostDecimals = 8;

// A parameter's type from its cells: 1; then 2 when cell 1 is not 0; then 3 when cell 2 is
// not 0; then 4 when cell 3 is not 0 (the last rule that applies wins). An edited type 10 or
// 30 parameter therefore becomes one of 1..4.
std::uint8_t TypeFromCells(const std::array<std::uint8_t, 6>& cells);

// Whether the catalogue files (Windows-1251) can hold every character of the UTF-8 text.
bool FitsCp1251(std::string_view text);

// Why a name typed into an editor cannot go into the catalogue files (a character they cannot
// hold would come back as another), or nothing when it can.
std::optional<std::string> NameRefusal(std::string_view name);

}  // namespace fuel::tool
