#include "trace/TraceLog.h"

#include <fstream>
#include <istream>

namespace fuel::trace {
namespace {

// A line longer than this is no trace line: it is skipped without being kept whole.
constexpr std::size_t kLongestLine = 64 * 1024;

}  // namespace

std::string TraceLine::Where() const {
    return file + " line " + std::to_string(number);
}

void ReadTrace(std::istream& in, const std::string& file, TraceLog& log) {
    std::string line;
    std::size_t number = 0;
    bool headed = false;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = file + " line " + std::to_string(number);
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        if (line.size() > kLongestLine) {
            log.problems.push_back(where + ": a line of " + std::to_string(line.size()) +
                                   " bytes is no trace line");
            ++log.unreadable;
            continue;
        }
        TraceEvent event;
        try {
            event = ParseTraceLine(line);
        } catch (const TraceFormatError& error) {
            log.problems.push_back(where + ": " + error.what());
            ++log.unreadable;
            continue;
        }
        if (event.kind == "trace") {
            const std::string* format = event.Find("format");
            const auto version = format != nullptr ? ParseWhole(*format) : std::nullopt;
            if (!version || *version > kTraceFormat) {
                log.problems.push_back(
                    where + ": trace format " + (format != nullptr ? *format : std::string("?")) +
                    " is not one this program reads (it reads " + std::to_string(kTraceFormat) +
                    "); the rest of the file is left unread");
                return;
            }
            headed = true;
        } else if (!headed) {
            log.problems.push_back(where +
                                   ": the file does not begin with a trace line; read as format " +
                                   std::to_string(kTraceFormat));
            headed = true;
        }
        log.lines.push_back({file, number, std::move(event)});
    }
}

TraceLog ReadTraceFiles(const std::vector<std::string>& paths) {
    TraceLog log;
    for (const std::string& path : paths) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw TraceFileError("cannot open the trace file '" + path + "'");
        }
        ReadTrace(in, path, log);
    }
    return log;
}

}  // namespace fuel::trace
