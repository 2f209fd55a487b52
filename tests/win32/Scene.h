// What the dialog tests and the screenshots show: a catalogue of two controllers in the
// catalogue directory of the Windows side, and a controller on the emulated bus whose cells
// hold what that catalogue describes.
#pragma once

#include "emulator/Emulator.h"

namespace fuel::test::win32 {

inline constexpr char kSettingsDirectory[] = "C:\\KORA\\Settings\\";

// "КУП-1" (kup1.ini) with "Цена" (two BCD cells 0x10, 0x11, two decimals) and
// "Коэффициент" (cells 0x20, 0x21, three decimals, the adjustment function); "КУП-2"
// (kup2.ini) with no parameters.
void WriteCatalogue();

// Dispenser 1: 12.34 in the price cells, 1.000 in the coefficient cells, 2 and 15 in the
// active-nozzle cells 0x30 and 0x40.
emulator::Config SceneBus();

}  // namespace fuel::test::win32
