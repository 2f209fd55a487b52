// Runs the host operations of a trace again, in order, on a fresh driver whose line serves
// the recorded replies (link/ReplayLink.h), and shows what the driver decides at each step:
// the frames it sends and how it judges the replies, the nested operations it runs, and the
// outcome (status codes, volumes and amounts, or the exception). Where the driver now sends
// another frame, judges a reply otherwise or ends otherwise than recorded, it says so: the
// trace came from another version or other options, or its replies were changed. Other
// options (an options file, a flags byte) answer "what would the driver have done if ...".
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "trace/TraceLog.h"

namespace fuel::trace {

struct ReplaySettings {
    std::optional<std::string> cnfIniPath;  // the options from this file, not the trace's
    std::optional<std::uint32_t> flags;     // the factory's flags byte, not the trace's
    bool onlyDifferences = false;           // show only the operations decided otherwise
};

struct ReplayTally {
    std::uint64_t operations = 0;
    std::uint64_t same = 0;
    std::uint64_t different = 0;
    std::uint64_t skippedLines = 0;  // outside the host's operations
    std::optional<std::string> firstDifference;
};

ReplayTally Replay(const TraceLog& log, const ReplaySettings& settings, std::ostream& out);

}  // namespace fuel::trace
