// The trace readers: a trace file is whatever a station's disk or a mail attachment holds.
// The input is read twice: as a file of its own, and as the values of lines built in the
// shapes the driver writes (so that the summary and the replay get past the line syntax and
// meet wrong counts, odd hex, numbers out of range, calls without ends and ends without
// calls). Every outcome must be a summary and a replay; every line that reads must format
// back to a line that reads the same.
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>

#include "fuzz/FuzzInput.h"
#include "trace/TraceLog.h"
#include "trace/TraceReplay.h"
#include "trace/TraceSummary.h"

using fuel::fuzz::FuzzInput;

namespace {

constexpr const char* kOperations[] = {"PollDispenserStatusEx",
                                       "PollDispenserStatus",
                                       "StartFill",
                                       "StartPump",
                                       "StopPump",
                                       "StopFill",
                                       "SetPrice",
                                       "SetVolumeLimit",
                                       "SetMoneyLimit",
                                       "GetDispensedData",
                                       "GetTotalizer",
                                       "ReadParameter",
                                       "WriteParameter",
                                       "InitLink",
                                       "GetStatusCode",
                                       "ApplyLinkSettings",
                                       "HandleHostEvent",
                                       "GetDriverInfo",
                                       "Levitate"};
constexpr const char* kVerdicts[] = {"accepted", "rejected", "none", "range-error", "maybe"};

std::string Hex(FuzzInput& in) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const std::size_t count = in.Byte() % 24;
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = in.Byte();
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    if (in.Byte() % 16 == 0) {
        text += 'Z';  // now and then not hex at all
    }
    return text.empty() ? "-" : text;
}

std::string Number(FuzzInput& in) {
    switch (in.Byte() % 8) {
        case 0:
            return std::to_string(static_cast<std::int32_t>(in.Word()));
        case 1:
            return std::to_string(in.Word());
        case 2:
            return "1.5";
        case 3:
            return "99999999999999999999";
        default:
            return std::to_string(in.Byte() % 4);
    }
}

std::string Text(FuzzInput& in) {
    std::string text = "\"";
    for (std::size_t count = in.Byte() % 12; count > 0; --count) {
        const char c = static_cast<char>(in.Byte());
        text += (c == '"' || c == '\\') ? '_' : c;
    }
    return text + "\"";
}

std::string Line(FuzzInput& in, int micro) {
    const std::string number = std::to_string(1 + in.Byte() % 4);
    const std::string op = kOperations[in.Byte() % std::size(kOperations)];
    const std::string verdict = kVerdicts[in.Byte() % std::size(kVerdicts)];
    std::string body;
    switch (in.Byte() % 12) {
        case 0:
            body = "trace format=" + Number(in) + " source=driver";
            break;
        case 1:
            body = "options flags=" + Number(in) + " OrigAdres=" + Number(in) +
                   " StartInLiter=1 WStart=" + Number(in) + " WDoza=0";
            break;
        case 2:
            body = "state ch=" + Number(in) + " disp=" + Number(in) + " mode=" + Number(in) +
                   " vdec=2 mdec=2 countdown=" + Number(in) + " stable=1 nozzle=" + Number(in) +
                   " vlimit=" + Number(in) + " mlimit=0 status=" + Number(in) + "," + Number(in) +
                   " price=" + Number(in) + " volume=nan,1e999";
            break;
        case 3:
            body = "state ch=" + Number(in) + " link=" + Number(in);
            break;
        case 4:
            body = "call " + number + " " + op + " ch=" + Number(in) + " disp=" + Number(in) +
                   " nozzle=" + Number(in) + " count=" + Number(in) + " flag=" + Number(in) +
                   " price=" + Number(in) + " limit=" + Number(in) + " addr=" + Number(in) +
                   " cell=" + Number(in) + " value=" + Number(in) + " key=" + Number(in) +
                   " r1=0 r2=0 r3=0 r4=0 r5=0 r6=0 r7=0 event=" + Number(in) + " record=" + Hex(in);
            break;
        case 5:
            body = "call " + number + " " + op + " in=" + Number(in) + " ch=" + Number(in) +
                   " disp=" + Number(in);
            break;
        case 6:
            body = "check ch=" + Number(in) + " n=1 verdict=" + verdict + " code=" + Number(in) +
                   " want=" + Number(in) + " got=" + Number(in) + " high=" + Number(in) +
                   " bytes=" + Hex(in);
            break;
        case 7:
            body = "xchg ch=" + Number(in) + " op=" + number + " disp=" + Number(in) +
                   " frame=" + Hex(in) + " result=" + Number(in) + " state=" + Number(in) +
                   " verdict=" + verdict + " code=" + Number(in) + " checks=" + Number(in) +
                   " us=" + Number(in) + " want=" + Number(in) + " got=" + Number(in) +
                   (in.Byte() % 2 ? " high=" + Number(in) : "") +
                   (in.Byte() % 2 ? " seen=" + Hex(in) : "") + " reply=" + Hex(in) +
                   (in.Byte() % 4 == 0 ? " raised=1" : "");
            break;
        case 8:
            body = "done " + number + " " + op + " result=" + Number(in) + " link=" + Number(in) +
                   " summary=" + Number(in);
            break;
        case 9:
            body = "fail " + number + " " + op + " class=ESerialIO msg=" + Text(in);
            break;
        case 10:
            body = "serve n=" + Number(in) + " disp=" + Number(in) + " frame=" + Hex(in) +
                   " reply=" + Hex(in) + " fault=checksum us=" + Number(in);
            break;
        default:
            body =
                "note lost=" + Number(in) + " since=2026-12-08T10:15:30.000000Z reason=" + Text(in);
    }
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "2026-12-08T10:15:30.%06dZ ", micro % 1000000);
    return stamp + body;
}

void Read(const std::string& text) {
    std::istringstream stream(text);
    fuel::trace::TraceLog log;
    fuel::trace::ReadTrace(stream, "fuzz", log);
    for (const fuel::trace::TraceLine& line : log.lines) {
        const fuel::TraceEvent again = fuel::ParseTraceLine(fuel::FormatTraceLine(line.event));
        if (again.time != line.event.time || again.kind != line.event.kind ||
            again.words != line.event.words || again.fields != line.event.fields) {
            __builtin_trap();
        }
    }
    std::ostream nowhere(nullptr);
    fuel::trace::PrintSummary(fuel::trace::Summarise(log), log, nowhere);
    fuel::trace::Replay(log, fuel::trace::ReplaySettings{}, nowhere);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Read(std::string(reinterpret_cast<const char*>(data), size));

    FuzzInput in(data, size);
    std::string text;
    for (int micro = 0; !in.Empty() && micro < 64; ++micro) {
        text += Line(in, micro);
        text += '\n';
    }
    Read(text);
    return 0;
}
