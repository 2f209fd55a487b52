// The commands that read traces: 'trace' summarises one for a support engineer, 'replay' runs
// its host operations again on a fresh driver and says where the driver now decides
// otherwise.
#include <ostream>

#include "cli/Commands.h"
#include "cli/Program.h"
#include "trace/TraceLog.h"
#include "trace/TraceReplay.h"
#include "trace/TraceSummary.h"

namespace fuel::cli {
namespace {

using trace::TraceLog;

// A file that cannot be opened is the user's mistake, answered as one.
TraceLog ReadTraces(const std::vector<std::string>& paths) {
    try {
        return trace::ReadTraceFiles(paths);
    } catch (const trace::TraceFileError& error) {
        throw UsageError(error.what());
    }
}

int RunTraceSummary(CommandContext& context) {
    const TraceLog log = ReadTraces(context.arguments.Operands());
    trace::PrintSummary(trace::Summarise(log), log, context.out);
    return kExitSuccess;
}

int RunReplay(CommandContext& context) {
    const ParsedArguments& arguments = context.arguments;
    trace::ReplaySettings settings;
    if (arguments.Has("cnf")) {
        settings.cnfIniPath = context.options.session.cnfIniPath;
    }
    if (arguments.Has("flags")) {
        settings.flags = context.options.session.flags;
    }
    settings.onlyDifferences = context.options.differences;
    const TraceLog log = ReadTraces(arguments.Operands());
    const trace::ReplayTally tally = trace::Replay(log, settings, context.out);

    std::ostream& out = context.out;
    out << "replayed " << tally.operations << " operations: " << tally.same << " as recorded, "
        << tally.different << " otherwise";
    if (tally.firstDifference) {
        out << " (the first at " << *tally.firstDifference << ")";
    }
    out << "\n";
    if (tally.skippedLines > 0) {
        out << "  " << tally.skippedLines
            << " lines outside the host's operations (or the rest of one begun before the "
               "file) were not replayed\n";
    }
    if (log.unreadable > 0) {
        out << "  " << log.unreadable << " lines did not read";
        if (!log.problems.empty()) {
            out << ", the first: " << log.problems.front();
        }
        out << "\n";
    }
    return tally.different > 0 ? kExitFailure : kExitSuccess;
}

}  // namespace

Command TraceSummaryCommand() {
    return {"trace",
            "FILE...",
            "summarise a trace file: failures, silent dispensers, slow exchanges",
            "Reads a trace written by the driver (the options file's TraceFile), by fuelctl "
            "--trace-file or by fuel-emulator --trace-file and shows what support reads first: "
            "the time span, the operations and exchanges per channel and dispenser, failures "
            "by the reply check's codes and by the line's own codes, dispensers that did not "
            "answer, retries, the slowest exchanges, the stretches in which a channel's link "
            "state stayed bad, and the faults an emulator injected. Give FILE.1 before FILE to "
            "read both halves of a rotated trace. Lines that do not read are counted and named.",
            {},
            1,
            64,
            &RunTraceSummary};
}

Command ReplayCommand() {
    return {"replay",
            "FILE...",
            "run a trace's host operations again and show the driver's decisions",
            "Runs the host operations of a trace again, in order, on a fresh driver whose line "
            "serves the recorded replies, and shows for each the frames sent, how the replies "
            "were judged, the operations it ran inside, and its outcome (status codes, volumes "
            "and amounts, or the exception). Where the driver now sends another frame, judges "
            "a reply otherwise or ends otherwise than the trace says, a line marked '!' says so. "
            "The driver starts with the options and the tables the trace records; --cnf FILE "
            "and --flags BYTE replay with other options instead. Exit status 1 when anything "
            "was decided otherwise.",
            {{"differences"},
             {"cnf", "replay with this options file instead"},
             {"flags", "replay with this flags byte instead"}},
            1,
            64,
            &RunReplay};
}

}  // namespace fuel::cli
