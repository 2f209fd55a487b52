// Every write of a controller parameter leaves one line in the audit log of the settings
// directory: a wrong calibration coefficient means wrong litres at the pump, and afterwards
// someone will ask who changed what, when, and whether the controller took it.
#pragma once

#include <filesystem>
#include <string>

namespace fuel::cli {

struct AuditEntry {
    std::string line;  // "channel 1 (emulator)", "channel 2 (/dev/ttyUSB0)"
    unsigned address = 0;
    std::string controller;
    std::string parameter;
    std::string cells;     // "RAM 20 21 22"
    std::string oldValue;  // "1 [01 00 00]"
    std::string newValue;
    std::string result;  // "verified", "NOT VERIFIED: holds …", "FAILED: …"
};

// Appends one tab-separated line (local time first) to the log; Failure when it cannot.
void AppendAudit(const std::filesystem::path& log, const AuditEntry& entry);

}  // namespace fuel::cli
