#include "tests/win32/Scene.h"

#include "tool/Catalogue.h"
#include "tool/Utf8Path.h"

namespace fuel::test::win32 {

void WriteCatalogue() {
    tool::CControllerList list(tool::PathFromUtf8(kSettingsDirectory));
    auto& first = list.Add();
    first.Name = "КУП-1";
    first.File = "kup1.ini";
    auto& price = first.Params.Add();
    price.Name = "Цена";
    price.Type = 2;
    price.Dec = 2;
    price.Cells = {0x10, 0x11};
    auto& coefficient = first.Params.Add();
    coefficient.Name = "Коэффициент";
    coefficient.Type = 2;
    coefficient.Dec = 3;
    coefficient.Cells = {0x20, 0x21};
    coefficient.Function = 1;
    auto& second = list.Add();
    second.Name = "КУП-2";
    second.File = "kup2.ini";
    list.Save();
}

emulator::Config SceneBus() {
    emulator::DispenserConfig dispenser;
    dispenser.number = 1;
    dispenser.cells = {{0x10, 0x12}, {0x11, 0x34}, {0x20, 0x10},
                       {0x21, 0x00}, {0x30, 0x02}, {0x40, 0x15}};
    emulator::Config config;
    config.dispensers = {dispenser};
    return config;
}

}  // namespace fuel::test::win32
