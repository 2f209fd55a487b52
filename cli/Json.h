// The program's results as JSON documents for scripts (--json): one document per result, on
// one line, UTF-8. The shapes are in docs/line.md; the numbers are those the text form shows.
#pragma once

#include <span>
#include <string>

#include "cli/Arguments.h"
#include "cli/Results.h"

namespace fuel::tool {
class CControllerList;
}

namespace fuel::cli {

// Whether the command line asks for JSON: --json among its options (not after "--"). It is
// looked at before the words are parsed, so that even a usage error answers in JSON.
bool JsonRequested(std::span<const std::string> words);

// Each returns one document, without the line's end.
std::string ToJson(const DispenserReading& reading);
std::string ToJson(const FillReading& reading);
std::string ToJson(const TotaliserReading& reading);
std::string ToJson(const CellReading& reading);
std::string ToJson(const DriverDescription& description);
std::string ToJson(const MonitorRefresh& refresh);
std::string ToJson(const ParameterReading& reading);
std::string ToJson(const ActiveNozzleReading& reading);
std::string ToJson(const CoefficientReading& reading);
// The catalogue as listed; `error` is set when it did not load whole.
std::string ToJson(const tool::CControllerList& list, const ErrorReport* error);
// {"error": {"class": ..., "message": ..., "hint": ...}}
std::string ToJson(const ErrorReport& error);

}  // namespace fuel::cli
