// What the host holds: an object whose first word points to the table of the driver's 29
// operations, each a stdcall routine taking that object first. The C++ driver behind it has
// a table of its own (its virtual functions), so the two are kept apart here.
#pragma once

#include <cstdint>

#include "driver/TVM30.h"

namespace fuel::win32 {

inline constexpr int kOperationCount = fuel::kHostSlotCount;

struct DriverObject {
    const void* const* table;
    fuel::TVM30* driver;
    // The object made before this one: every object the factories made, newest first.
    DriverObject* previous;
};

// The table every DriverObject points to.
const void* const* OperationTable();

// Whether pointer is one of the objects the factories made. Only compares addresses: a
// word from the host's stack may point anywhere, so nothing is read through it.
bool IsDriverObject(const void* pointer);

// Creates a driver the way both factories do: a HostLink over the host's object, the options
// from cnf.INI in the Windows directory. Never freed, as the host expects.
DriverObject* CreateDriverObject(std::uint32_t flags, void* hostLink);

// Where the driver reads its options: GetWindowsDirectoryA's answer followed by "\cnf.INI",
// or an empty path (no file) when the directory cannot be had.
std::string CnfIniPath();

}  // namespace fuel::win32

// The exports, stdcall, named without decoration by the module definition file.
extern "C" {
fuel::win32::DriverObject* __stdcall GetVE30(std::uint32_t flags, std::uint32_t reserved,
                                             void* hostLink);
fuel::win32::DriverObject* __stdcall GetDriver25(std::uint32_t flags, std::uint32_t reserved,
                                                 void* hostLink, std::uint32_t, std::uint32_t,
                                                 std::uint32_t, std::uint32_t, std::uint32_t);
}
