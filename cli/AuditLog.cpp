#include "cli/AuditLog.h"

#include <ctime>
#include <fstream>

#include "cli/Commands.h"
#include "tool/Utf8Path.h"

namespace fuel::cli {
namespace {

// One field stays one field: tabs and line breaks inside names become blanks.
std::string Field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

std::string LocalTime() {
    const std::time_t now = std::time(nullptr);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&now));
    return text;
}

}  // namespace

void AppendAudit(const std::filesystem::path& log, const AuditEntry& entry) {
    std::ofstream file(log, std::ios::binary | std::ios::app);
    file << LocalTime() << '\t' << Field(entry.line) << "\taddress " << entry.address << '\t'
         << Field(entry.controller) << '\t' << Field(entry.parameter) << '\t' << Field(entry.cells)
         << "\told " << Field(entry.oldValue) << "\tnew " << Field(entry.newValue) << '\t'
         << Field(entry.result) << '\n';
    file.flush();
    if (!file) {
        throw Failure("the audit log " + tool::Utf8FromPath(log) +
                      " could not be written; the controller's cells were written, see above");
    }
}

}  // namespace fuel::cli
