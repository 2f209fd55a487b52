// A program of an integrator's, built against the installed package only: a driver on the
// emulator's in-process line, one poll of one dispenser.
#include <iostream>

#include "driver/TVM30.h"
#include "driver/Version.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"
#include "link/SerialLink.h"  // every installed header stands on its own

int main() {
    fuel::emulator::Emulator bus{fuel::emulator::ParseConfig("[dispenser 2]\nnozzles = 1\n")};
    fuel::EmulatorLink link{bus};
    fuel::TVM30* driver = fuel::CreateDriver(0, &link, "");
    fuel::StatusRecordEx record;
    driver->PollDispenserStatusEx(1, 2, 1, record);
    std::cout << "fuel-driver " << fuel::kVersion << ": dispenser 2 summary "
              << int{record.bytes[0]} << "\n";
    return 0;
}
