#include "cli/ParameterDump.h"

#include "cli/Arguments.h"

namespace fuel::cli {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

[[noreturn]] void Fail(int line, const std::string& what) {
    throw UsageError("line " + std::to_string(line) + " of the dump: " + what);
}

}  // namespace

std::string FormatDump(const ParameterDump& dump) {
    std::string text;
    for (const std::string& comment : dump.comments) {
        text += "# " + comment + "\n";
    }
    text += "controller: " + dump.controller + "\n";
    text += "address: " + std::to_string(dump.address) + "\n";
    for (const DumpEntry& entry : dump.entries) {
        text += "\nparameter " + std::to_string(entry.position) + ": " + entry.name + "\n";
        text += "  cells: " + entry.cells + "\n";
        text += "  value: " + entry.value + "\n";
    }
    return text;
}

ParameterDump ParseDump(std::string_view text) {
    ParameterDump dump;
    bool haveController = false;
    bool haveAddress = false;
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            Fail(lineNumber, "expected 'key: value'");
        }
        const std::string_view key = Trim(line.substr(0, colon));
        const std::string value(Trim(line.substr(colon + 1)));
        if (key == "controller") {
            if (haveController) {
                Fail(lineNumber, "a dump is of one controller");
            }
            dump.controller = value;
            haveController = true;
        } else if (key == "address") {
            dump.address = static_cast<unsigned>(ParseInteger(value, "the address", 0, 255));
            haveAddress = true;
        } else if (key.starts_with("parameter ")) {
            DumpEntry entry;
            entry.position = static_cast<int>(
                ParseInteger(Trim(key.substr(10)), "the parameter's position", 0, 1000000));
            entry.name = value;
            entry.line = lineNumber;
            dump.entries.push_back(entry);
        } else if (key == "cells" || key == "value") {
            if (dump.entries.empty()) {
                Fail(lineNumber, std::string(key) + " before the first parameter");
            }
            (key == "cells" ? dump.entries.back().cells : dump.entries.back().value) = value;
        } else {
            Fail(lineNumber, "unknown key '" + std::string(key) + "'");
        }
    }
    if (!haveController || !haveAddress) {
        throw UsageError("not a parameter dump: it names no controller and address");
    }
    for (const DumpEntry& entry : dump.entries) {
        if (entry.cells.empty() || entry.value.empty()) {
            Fail(entry.line,
                 "parameter " + std::to_string(entry.position) + " needs its cells and its value");
        }
    }
    return dump;
}

}  // namespace fuel::cli
