// The text that 'param dump' writes and 'param restore' reads back: a controller's parameters
// as a person can read, compare and edit them.
//
//     # fuelctl parameter dump …
//     controller: Пример КУП-1
//     address: 1
//
//     parameter 0: Коэффициент юстировки (пример)
//       cells: RAM 20 21 22 = 01 00 00
//       value: 1
//
// '#' starts a comment line. The value is what is restored (as 'param write' takes it); the
// cells say where the value was and what they held, so that a restore can tell when the
// catalogue no longer places the parameter where the dump found it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fuel::cli {

struct DumpEntry {
    int position = 0;
    std::string name;
    std::string cells;  // "RAM 20 21 22 = 01 00 00", or "none"
    std::string value;
    int line = 0;  // where the entry starts in the text
};

struct ParameterDump {
    std::vector<std::string> comments;  // without the '#'
    std::string controller;
    unsigned address = 0;
    std::vector<DumpEntry> entries;
};

std::string FormatDump(const ParameterDump& dump);
// UsageError naming the line for text that is not a dump.
ParameterDump ParseDump(std::string_view text);

}  // namespace fuel::cli
