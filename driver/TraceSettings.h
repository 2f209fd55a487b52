// The trace's switch in the driver's options file: two keys of section "Varno" beside the
// four options. Without "TraceFile" (or with it empty) there is no trace.
//
//   TraceFile=C:\KORA\Log\fuel-trace.txt   the file; a relative path is taken from the
//                                         directory of the options file
//   TraceMaxKB=1024                        the size of one file in KiB (16 .. 1048576), after
//                                         which it becomes FILE.1 and a new one begins
#pragma once

#include <optional>
#include <string>

#include "driver/IniFile.h"
#include "driver/TraceFile.h"

namespace fuel {

inline constexpr char kTraceFileKey[] = "TraceFile";
inline constexpr char kTraceMaxKey[] = "TraceMaxKB";

// The settings the options file gives, or nothing when it switches the trace off. The path
// may be written in UTF-8 or, as the Windows-side tools write the file, in Windows-1251.
std::optional<TraceFileSettings> ReadTraceSettings(const IniFile& ini,
                                                   const std::string& cnfIniPath);
// The size cap from the key's value, clamped to the range above; the default when absent.
std::uintmax_t TraceCapFromKilobytes(std::optional<std::int64_t> kilobytes);

}  // namespace fuel
