// Trace files as the summary and the replay read them: every line that reads, with where it
// stands, and what could not be read, named by file and line. A file is untrusted input (a
// station's disk, a mail attachment): nothing in it may stop the reading, only a newer
// format may.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/TraceFormat.h"

namespace fuel::trace {

// A trace file that cannot be opened.
class TraceFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TraceLine {
    std::string file;
    std::size_t number = 0;  // from 1
    TraceEvent event;

    // "FILE line N"
    std::string Where() const;
};

struct TraceLog {
    std::vector<TraceLine> lines;
    std::vector<std::string> problems;  // "FILE line N: what"
    std::size_t unreadable = 0;         // lines that did not read
};

// Reads the files in the order given (FILE.1 before FILE for both halves of a rotated
// trace). Throws TraceFileError for a file that cannot be opened.
TraceLog ReadTraceFiles(const std::vector<std::string>& paths);
// One stream, named `file` in the problems.
void ReadTrace(std::istream& in, const std::string& file, TraceLog& log);

}  // namespace fuel::trace
