#include "trace/TraceReplay.h"

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <ostream>

#include "driver/TraceSchema.h"
#include "driver/TracedDriver.h"
#include "link/ReplayLink.h"
#include "trace/OperationCall.h"
#include "trace/Words.h"

namespace fuel::trace {
namespace {

// ---- Rebuilding the host's calls from their lines.

std::uint32_t U32(const TraceEvent& e, std::string_view key) {
    return static_cast<std::uint32_t>(e.Integer(key, 0, 0xFFFFFFFF));
}
std::uint8_t U8(const TraceEvent& e, std::string_view key) {
    return static_cast<std::uint8_t>(e.Integer(key, 0, 255));
}
std::int32_t I32(const TraceEvent& e, std::string_view key) {
    return static_cast<std::int32_t>(e.Integer(key, INT32_MIN, INT32_MAX));
}

// ---- Rebuilding the line's answers from the exchange lines.

RecordedCheck CheckOf(const TraceEvent& e, std::string_view bytesKey) {
    RecordedCheck check;
    check.bytes = e.Hex(bytesKey);
    check.received = U8(e, "got");
    check.expected = U8(e, "want");
    check.high = e.Has("high") ? I32(e, "high") : std::int32_t{check.expected} - 1;
    if (e.Text("verdict") != "range-error") {
        check.code = I32(e, "code");
    }
    return check;
}

RecordedExchange ExchangeOf(const TraceLine& line, std::vector<RecordedCheck> earlier) {
    const TraceEvent& e = line.event;
    RecordedExchange exchange;
    exchange.line = line.number;
    exchange.channel = U32(e, "ch");
    exchange.frame = e.Hex("frame");
    exchange.reply = e.Hex("reply");
    exchange.result = I32(e, "result");
    exchange.state = I32(e, "state");
    exchange.raised = e.Has("raised");
    exchange.checks = std::move(earlier);
    if (e.Text("verdict") != "none") {
        RecordedCheck last;
        last.received = U8(e, "got");
        last.expected = U8(e, "want");
        last.high = e.Has("high") ? I32(e, "high") : std::int32_t{last.expected} - 1;
        if (e.Has("seen")) {
            last.bytes = e.Hex("seen");
        } else {
            // The check read the driver's buffer: its first `got` bytes, at least byte 0.
            const std::size_t count = std::min<std::size_t>(
                std::max<std::size_t>(last.received, 1),
                static_cast<std::size_t>(std::max<std::int64_t>(std::int64_t{last.high} + 1, 0)));
            last.bytes.assign(exchange.reply.begin(),
                              exchange.reply.begin() + static_cast<std::ptrdiff_t>(
                                                           std::min(count, exchange.reply.size())));
        }
        if (e.Text("verdict") != "range-error") {
            last.code = I32(e, "code");
        }
        exchange.checks.push_back(std::move(last));
    }
    return exchange;
}

// ---- Showing and comparing.

std::string CallWords(const TraceEvent& call) {
    std::string words = call.words.size() > 1 ? call.words[1] : "?";
    for (const auto& [key, value] : call.fields) {
        if (key != "in" && key != "record") {
            words += " " + key + "=" + value;
        }
    }
    return words;
}

std::string OutcomeWords(const TraceEvent& end) {
    std::string words;
    if (end.kind == "fail") {
        const std::string* className = end.Find("class");
        const std::string* message = end.Find("msg");
        words = "failed: " + (className != nullptr ? *className : std::string("?")) +
                (message != nullptr ? " \"" + *message + "\"" : "");
    }
    for (const auto& [key, value] : end.fields) {
        if (key != "class" && key != "msg" && key != "record") {
            words += (words.empty() ? "" : " ") + key + "=" + value;
        }
    }
    return words.empty() ? "done" : words;
}

std::string Verdict(const TraceEvent& x) {
    const std::string* verdict = x.Find("verdict");
    const std::string* code = x.Find("code");
    std::string words;
    if (verdict == nullptr || *verdict == "none") {
        words = "no reply judged";
    } else if (*verdict == "accepted") {
        words = "accepted";
    } else if (*verdict == "range-error") {
        words = "the check raised a range error";
    } else {
        words = ReplyCodeWords(
            code != nullptr ? static_cast<std::int32_t>(ParseWhole(*code).value_or(-1)) : -1);
    }
    const std::string* result = x.Find("result");
    const std::string* state = x.Find("state");
    if (result != nullptr && *result != "0")
        words += ", result " + *result;
    if (state != nullptr && *state != "1")
        words += ", link state " + *state;
    if (x.Has("raised"))
        words += ", the line raised";
    return words;
}

std::string Spaced(const std::string& hex) {
    return Hex(ParseHex(hex).value_or(std::vector<std::uint8_t>{}));
}

// What the driver got back: the reply as far as the check was told it reached.
std::string ReplyShown(const TraceEvent& x) {
    if (x.Text("verdict") == "none") {
        return "nothing";
    }
    if (x.Has("seen")) {
        return Spaced(x.Text("seen"));
    }
    auto bytes = ParseHex(x.Text("reply")).value_or(std::vector<std::uint8_t>{});
    const auto got = ParseWhole(x.Text("got")).value_or(0);
    bytes.resize(std::min<std::size_t>(bytes.size(),
                                       static_cast<std::size_t>(std::max<std::int64_t>(got, 1))));
    return Hex(bytes);
}

bool SameValue(const std::string& a, const std::string& b) {
    if (a == b) {
        return true;
    }
    // A figure the driver computed may differ in its last bits between builds (an x87 and an
    // SSE build of the same arithmetic): that is no other decision.
    const auto x = ParseReal(a);
    const auto y = ParseReal(b);
    if (!x || !y || a.find(',') != std::string::npos) {
        return false;
    }
    return std::fabs(*x - *y) <= 1e-9 * std::max({1.0, std::fabs(*x), std::fabs(*y)});
}

bool SameList(const std::string& a, const std::string& b) {
    if (a.find(',') == std::string::npos && b.find(',') == std::string::npos) {
        return SameValue(a, b);
    }
    std::size_t i = 0;
    std::size_t j = 0;
    while (true) {
        const std::size_t ai = a.find(',', i);
        const std::size_t bj = b.find(',', j);
        if (!SameValue(a.substr(i, ai - i), b.substr(j, bj - j))) {
            return false;
        }
        if (ai == std::string::npos || bj == std::string::npos) {
            return ai == bj;
        }
        i = ai + 1;
        j = bj + 1;
    }
}

bool SameOutcome(const TraceEvent& recorded, const TraceEvent& replayed) {
    if (recorded.kind != replayed.kind || recorded.fields.size() != replayed.fields.size()) {
        return false;
    }
    for (const auto& [key, value] : recorded.fields) {
        const std::string* other = replayed.Find(key);
        if (other == nullptr || !SameList(value, *other)) {
            return false;
        }
    }
    return true;
}

struct SessionOptions {
    TracedOptions traced;  // flags 0 and their defaults until an options line says otherwise
    std::vector<TraceEvent> states;
};

class Replayer {
  public:
    Replayer(const ReplaySettings& settings, std::ostream& out) : settings_(settings), out_(out) {}

    void Run(const TraceLog& log) {
        const auto& lines = log.lines;
        std::size_t i = 0;
        while (i < lines.size()) {
            const TraceEvent& e = lines[i].event;
            if (e.kind == "trace") {
                driver_.reset();
                session_ = SessionOptions{};
                ++i;
            } else if (e.kind == "options") {
                TakeOptions(lines[i]);
                ++i;
            } else if (e.kind == "state") {
                TakeState(lines[i]);
                ++i;
            } else if (e.kind == "call" && !e.Has("in")) {
                i = Operation(lines, i);
            } else {
                if (e.kind != "serve" && e.kind != "note") {
                    // The rest of an operation begun before the file, or an exchange a
                    // program made outside the host's operations.
                    ++tally_.skippedLines;
                }
                ++i;
            }
        }
    }

    const ReplayTally& Tally() const { return tally_; }

  private:
    void TakeOptions(const TraceLine& line) {
        try {
            session_.traced = ReadOptionsLine(line.event);
            if (driver_ && !settings_.cnfIniPath) {
                driver_->SetOptions(session_.traced.options);
            }
        } catch (const TraceFormatError& error) {
            out_ << line.Where() << ": options not read: " << error.what() << "\n";
        }
    }

    void TakeState(const TraceLine& line) {
        if (driver_) {
            try {
                RestoreStateLine(*driver_, line.event);
            } catch (const std::exception& error) {
                out_ << line.Where() << ": state not read: " << error.what() << "\n";
            }
        } else {
            session_.states.push_back(line.event);
        }
    }

    TVM30& Driver(const TraceLine& at) {
        if (!driver_) {
            const std::uint32_t flags = settings_.flags.value_or(session_.traced.flags);
            driver_ = std::make_unique<TracedDriver>(flags, &link_,
                                                     settings_.cnfIniPath.value_or(""), sink_);
            if (!settings_.cnfIniPath) {
                driver_->SetOptions(session_.traced.options);
            }
            for (const TraceEvent& state : session_.states) {
                try {
                    RestoreStateLine(*driver_, state);
                } catch (const std::exception& error) {
                    out_ << at.Where() << ": a state line before it was not read: " << error.what()
                         << "\n";
                }
            }
            session_.states.clear();
        }
        return *driver_;
    }

    // One operation of the host and everything it did; returns the index after it.
    std::size_t Operation(const std::vector<TraceLine>& lines, std::size_t at) {
        const TraceLine& call = lines[at];
        ++tally_.operations;
        if (call.event.words.size() < 2) {
            ++tally_.different;
            Differs(call);
            out_ << call.Where() << ": a call without its number and name is not replayed\n";
            return at + 1;
        }
        const std::string& number = call.event.words[0];
        std::vector<const TraceLine*> body;
        const TraceLine* end = nullptr;
        std::size_t i = at + 1;
        for (; i < lines.size(); ++i) {
            const TraceEvent& e = lines[i].event;
            if (e.kind == "trace" || (e.kind == "call" && !e.Has("in"))) {
                break;  // the trace lost the operation's end
            }
            if ((e.kind == "done" || e.kind == "fail") && !e.words.empty() &&
                e.words[0] == number) {
                end = &lines[i];
                ++i;
                break;
            }
            body.push_back(&lines[i]);
        }
        try {
            Run(call, body, end);
        } catch (const TraceFormatError& error) {
            ++tally_.different;
            Differs(call);
            out_ << call.Where() << ": " << CallWords(call.event)
                 << "\n    ! not replayed: " << error.what() << "\n";
        }
        return i;
    }

    void Run(const TraceLine& call, const std::vector<const TraceLine*>& body,
             const TraceLine* end) {
        const std::string name = call.event.WordAt(1, "operation name");
        // The line's answers for this operation.
        std::vector<RecordedExchange> exchanges;
        std::vector<const TraceEvent*> recorded;
        std::vector<std::int32_t> configureResults;
        std::vector<RecordedCheck> checks;
        for (const TraceLine* line : body) {
            const TraceEvent& e = line->event;
            if (e.kind == "check") {
                checks.push_back(CheckOf(e, "bytes"));
            } else if (e.kind == "xchg") {
                exchanges.push_back(ExchangeOf(*line, std::move(checks)));
                recorded.push_back(&e);
                checks.clear();
            } else if (e.kind == "done" && e.words.size() > 1 &&
                       e.words[1] == "ApplyLinkSettings") {
                configureResults.push_back(I32(e, "result"));
            }
        }
        if (name == "ApplyLinkSettings" && end != nullptr && end->event.kind == "done") {
            configureResults.push_back(I32(end->event, "result"));
        }

        TVM30& driver = Driver(call);
        link_.Serve(std::move(exchanges), std::move(configureResults));
        sink_->events.clear();
        bool known = true;
        try {
            known = InvokeCall(driver, name, call.event);
        } catch (const TraceFormatError&) {
            throw;
        } catch (const std::exception&) {
            // The driver's outcome is in its trace.
        }
        if (!known) {
            throw TraceFormatError("no host operation '" + name + "'");
        }
        Report(call, recorded, end);
        sink_->events.clear();
    }

    void Report(const TraceLine& call, const std::vector<const TraceEvent*>& recorded,
                const TraceLine* end) {
        std::vector<std::string> shown;
        std::vector<std::string> differences;
        std::vector<const TraceEvent*> replayed;
        const TraceEvent* replayedEnd = nullptr;
        std::string outer;
        for (const TraceEvent& e : sink_->events) {
            if (e.kind == "call" && outer.empty()) {
                outer = e.words.empty() ? "" : e.words[0];
            } else if (e.kind == "call") {
                shown.push_back("    + " + CallWords(e));
            } else if (e.kind == "xchg") {
                replayed.push_back(&e);
                shown.push_back("    -> " + Spaced(e.Text("frame")) + "   <- " + ReplyShown(e) +
                                "   " + Verdict(e));
            } else if ((e.kind == "done" || e.kind == "fail") && !e.words.empty() &&
                       e.words[0] == outer) {
                replayedEnd = &e;
            }
        }
        for (std::size_t k = 0; k < std::max(recorded.size(), replayed.size()); ++k) {
            if (k >= replayed.size()) {
                differences.push_back("the recorded frame " + Spaced(recorded[k]->Text("frame")) +
                                      " was not sent now");
                continue;
            }
            if (k >= recorded.size()) {
                differences.push_back("nothing was recorded for the frame " +
                                      Spaced(replayed[k]->Text("frame")) + ": it met silence");
                continue;
            }
            const TraceEvent& r = *recorded[k];
            const TraceEvent& p = *replayed[k];
            if (r.Text("frame") != p.Text("frame")) {
                differences.push_back("sent " + Spaced(p.Text("frame")) + " where the trace has " +
                                      Spaced(r.Text("frame")));
            }
            if (Verdict(r) != Verdict(p)) {
                differences.push_back("judged " + ReplyShown(p) + " as " + Verdict(p) +
                                      " where the trace has " + Verdict(r));
            }
        }
        if (replayedEnd == nullptr) {
            differences.push_back("the operation left no outcome");
        } else if (end == nullptr) {
            differences.push_back("the trace has no outcome for this operation");
        } else if (!SameOutcome(end->event, *replayedEnd)) {
            differences.push_back("the trace has: " + OutcomeWords(end->event));
        }

        const bool same = differences.empty();
        if (same) {
            ++tally_.same;
        } else {
            ++tally_.different;
            Differs(call);
        }
        if (same && settings_.onlyDifferences) {
            return;
        }
        out_ << call.Where() << ": " << CallWords(call.event) << "\n";
        for (const std::string& line : shown) {
            out_ << line << "\n";
        }
        out_ << "    = " << (replayedEnd != nullptr ? OutcomeWords(*replayedEnd) : "?") << "\n";
        for (const std::string& difference : differences) {
            out_ << "    ! " << difference << "\n";
        }
    }

    void Differs(const TraceLine& call) {
        if (!tally_.firstDifference) {
            tally_.firstDifference = call.Where();
        }
    }

    const ReplaySettings& settings_;
    std::ostream& out_;
    ReplayLink link_;
    std::shared_ptr<MemoryTraceSink> sink_ = std::make_shared<MemoryTraceSink>();
    std::unique_ptr<TVM30> driver_;
    SessionOptions session_;
    ReplayTally tally_;
};

}  // namespace

ReplayTally Replay(const TraceLog& log, const ReplaySettings& settings, std::ostream& out) {
    Replayer replayer(settings, out);
    replayer.Run(log);
    return replayer.Tally();
}

}  // namespace fuel::trace
