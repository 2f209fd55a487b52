#include "trace/TraceSummary.h"

#include <algorithm>
#include <ostream>

#include "driver/HostLink.h"
#include "link/Line.h"
#include "trace/Words.h"

namespace fuel::trace {
namespace {

constexpr std::size_t kSlowestShown = 5;
constexpr std::size_t kStretchesShown = 10;
constexpr std::size_t kProblemsShown = 5;

using Place = TraceSummary::Place;

bool IsReplyCode(std::int64_t code) {
    return code == reply_code::kBadStart || code == reply_code::kOnlyAcknowledge ||
           code == reply_code::kNoEnd || code == reply_code::kBadChecksum;
}

// Our own links' codes; a host's line may mean something else by them.
std::string LinkCodeWords(std::int32_t code) {
    const std::string_view words = DescribeLineCode(code);
    return words == DescribeLineCode(-1) ? "the line's own code" : std::string(words);
}

std::string PlaceWords(const Place& place) {
    std::string words = place.channel != 0 ? "channel " + std::to_string(place.channel) : "";
    if (place.dispenser != 0) {
        words += (words.empty() ? "" : " ") + std::string("dispenser ") +
                 std::to_string(place.dispenser);
    }
    return words.empty() ? "unknown place" : words;
}

std::string Places(const std::map<Place, std::uint64_t>& places) {
    std::string text;
    for (const auto& [place, count] : places) {
        text += (text.empty() ? "" : ", ") + PlaceWords(place) + ": " + std::to_string(count);
    }
    return text;
}

std::uint64_t Total(const std::map<Place, std::uint64_t>& places) {
    std::uint64_t total = 0;
    for (const auto& entry : places) {
        total += entry.second;
    }
    return total;
}

// "10:15:30.123" in UTC, with the date when asked.
std::string Clock(TraceStamp stamp, bool withDate = false) {
    const std::string text = FormatStamp(stamp);  // 2026-12-08T10:15:30.123456Z
    return withDate ? text.substr(0, 10) + " " + text.substr(11, 12) : text.substr(11, 12);
}

std::string Span(std::int64_t microseconds) {
    if (microseconds < 1'000'000) {
        return Fixed(static_cast<double>(microseconds) / 1000.0, 1) + " ms";
    }
    const std::int64_t seconds = microseconds / 1'000'000;
    if (seconds < 60) {
        return Fixed(static_cast<double>(microseconds) / 1e6, 1) + " s";
    }
    if (seconds < 3600) {
        return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    }
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds / 60 % 60) + " min";
}

std::int64_t Field(const TraceEvent& event, std::string_view key, std::int64_t otherwise = 0) {
    const std::string* text = event.Find(key);
    if (text == nullptr) {
        return otherwise;
    }
    return ParseWhole(*text).value_or(otherwise);
}

class Summariser {
  public:
    explicit Summariser(TraceSummary& s) : s_(s) {}

    void Take(const TraceLine& line) {
        const TraceEvent& e = line.event;
        ++s_.lines;
        s_.first = s_.first ? std::min(*s_.first, e.time) : e.time;
        s_.last = s_.last ? std::max(*s_.last, e.time) : e.time;
        if (e.kind == "trace") {
            ++s_.sources[e.Find("source") != nullptr ? *e.Find("source") : "unknown"];
            operations_.clear();
        } else if (e.kind == "options") {
            std::string text;
            for (const auto& [key, value] : e.fields) {
                text += (text.empty() ? "" : " ") + key + "=" + value;
            }
            if (std::find(s_.options.begin(), s_.options.end(), text) == s_.options.end()) {
                s_.options.push_back(text);
            }
        } else if (e.kind == "call") {
            Call(e);
        } else if (e.kind == "done" || e.kind == "fail") {
            End(e);
        } else if (e.kind == "check") {
            Check(e, PlaceOf(e));
        } else if (e.kind == "xchg") {
            Exchange(line);
        } else if (e.kind == "serve") {
            Serve(e);
        } else if (e.kind == "note") {
            s_.lost += static_cast<std::uint64_t>(Field(e, "lost"));
            if (const std::string* reason = e.Find("reason")) {
                s_.troubles.push_back(line.Where() + ": " + *reason);
            }
        }
    }

    void Finish() {
        for (auto& [channel, stretch] : open_) {
            stretch.open = true;
            s_.stretches.push_back(stretch);
        }
        std::sort(s_.stretches.begin(), s_.stretches.end(),
                  [](const auto& a, const auto& b) { return a.to - a.from > b.to - b.from; });
    }

  private:
    Place PlaceOf(const TraceEvent& e) const {
        Place place{Field(e, "ch"), Field(e, "disp")};
        if (place.dispenser == 0) {
            // A parameter command names its controller by address.
            place.dispenser = Field(e, "addr");
        }
        return place;
    }

    void Call(const TraceEvent& e) {
        const std::string name = e.words.size() > 1 ? e.words[1] : "?";
        ++s_.operations;
        ++s_.operationsByName[name];
        const Place place = PlaceOf(e);
        if (e.Has("in")) {
            ++s_.nested;
        } else if (place.channel != 0) {
            ++s_.places[place].operations;
        }
        if (!e.words.empty()) {
            operations_[e.words[0]] = place;
        }
    }

    void End(const TraceEvent& e) {
        if (e.kind != "fail") {
            return;
        }
        ++s_.failedOperations;
        Place place;
        if (!e.words.empty()) {
            if (const auto found = operations_.find(e.words[0]); found != operations_.end()) {
                place = found->second;
            }
        }
        const std::string name = e.words.size() > 1 ? e.words[1] : "?";
        const std::string* className = e.Find("class");
        const std::string* message = e.Find("msg");
        ++s_.failuresByMessage[name + ": " + (className != nullptr ? *className : "?") +
                               (message != nullptr ? " \"" + *message + "\"" : "")][place];
    }

    void Check(const TraceEvent& e, const Place& place) {
        const std::int64_t code = Field(e, "code", -1);
        if (code > 0) {
            ++s_.replyCodes[static_cast<std::int32_t>(code)][place];
        }
    }

    void Exchange(const TraceLine& line) {
        const TraceEvent& e = line.event;
        const Place place = PlaceOf(e);
        TraceSummary::Tally& tally = s_.places[place];
        ++s_.exchanges;
        ++tally.exchanges;
        const std::int64_t result = Field(e, "result");
        const std::int64_t state = Field(e, "state", link_state::kGood);
        const std::int64_t checks = Field(e, "checks");
        if (checks > 1) {
            s_.retries += static_cast<std::uint64_t>(checks - 1);
            tally.retries += static_cast<std::uint64_t>(checks - 1);
        }
        Check(e, place);  // the last reply the check judged; the earlier ones have lines
        if (result != 0) {
            ++s_.failedExchanges;
            ++tally.failed;
            if (checks == 0) {
                ++tally.silent;
            }
            const std::int64_t code = Field(e, "code", -1);
            if (!(IsReplyCode(result) && code == result)) {
                ++s_.linkCodes[static_cast<std::int32_t>(result)][place];
            }
        } else if (state != link_state::kGood) {
            ++tally.implausible;
        }

        TraceSummary::Slow slow{
            Field(e, "us"), line.Where(), place, {}, static_cast<std::int32_t>(result)};
        if (const std::string* frame = e.Find("frame")) {
            slow.frame = ParseHex(*frame).value_or(std::vector<std::uint8_t>{});
        }
        s_.slowest.push_back(std::move(slow));
        std::stable_sort(s_.slowest.begin(), s_.slowest.end(), [](const auto& a, const auto& b) {
            return a.microseconds > b.microseconds;
        });
        if (s_.slowest.size() > kSlowestShown) {
            s_.slowest.pop_back();
        }

        // A bad stretch runs from the first exchange that leaves the state bad to the first
        // that leaves it good again.
        const std::int64_t channel = place.channel;
        const auto open = open_.find(channel);
        if (state != link_state::kGood) {
            if (open == open_.end()) {
                open_[channel] = {channel, e.time, e.time, 1, line.Where(), line.Where(), false};
            } else {
                open->second.to = e.time;
                open->second.toWhere = line.Where();
                ++open->second.exchanges;
            }
        } else if (open != open_.end()) {
            open->second.to = e.time;
            open->second.toWhere = line.Where();
            s_.stretches.push_back(open->second);
            open_.erase(open);
        }
    }

    void Serve(const TraceEvent& e) {
        Place place{Field(e, "ch"), Field(e, "disp")};
        if (place.dispenser == 0) {
            // Nobody on the bus has it; a parameter command still names its controller.
            const auto frame = ParseHex(e.Text("frame")).value_or(std::vector<std::uint8_t>{});
            if (frame.size() > 2 && std::string_view("XYxy").find(static_cast<char>(frame[2])) !=
                                        std::string_view::npos) {
                place.dispenser = frame[1];
            }
        }
        TraceSummary::Tally& tally = s_.places[place];
        ++s_.requests;
        ++tally.requests;
        if (e.Text("reply") == "-") {
            ++tally.unanswered;
        }
        if (const std::string* fault = e.Find("fault")) {
            ++s_.faults[*fault][place];
            s_.faultRequests.push_back(*fault + ": request " +
                                       (e.Has("n") ? e.Text("n") : std::string("?")) + " (" +
                                       PlaceWords(place) + ")");
        }
    }

    TraceSummary& s_;
    std::map<std::string, Place> operations_;  // operation number -> where it acts
    std::map<std::int64_t, TraceSummary::Stretch> open_;
};

}  // namespace

TraceSummary Summarise(const TraceLog& log) {
    TraceSummary summary;
    Summariser summariser(summary);
    for (const TraceLine& line : log.lines) {
        try {
            summariser.Take(line);
        } catch (const TraceFormatError&) {
            // A line that reads but lacks a field the summary counts by is counted as far as
            // it goes.
        }
    }
    summariser.Finish();
    return summary;
}

void PrintSummary(const TraceSummary& s, const TraceLog& log, std::ostream& out) {
    if (!s.first) {
        out << "no trace lines";
        if (log.unreadable > 0) {
            out << " (" << log.unreadable << " lines did not read)";
        }
        out << "\n";
    } else {
        out << s.lines << " lines from " << Clock(*s.first, true) << " to "
            << Clock(*s.last, *s.last / 86'400'000'000 != *s.first / 86'400'000'000) << " UTC ("
            << Span(*s.last - *s.first) << ")\n";
    }
    if (!s.sources.empty()) {
        out << "  written by:";
        for (const auto& [source, count] : s.sources) {
            out << " " << source << (count > 1 ? " (" + std::to_string(count) + " runs)" : "");
        }
        out << "\n";
    }
    for (const std::string& options : s.options) {
        out << "  options: " << options << "\n";
    }

    if (s.operations > 0) {
        out << "\noperations: " << s.operations - s.nested << " from the host, " << s.nested
            << " nested in them; " << s.failedOperations << " failed\n";
        for (const auto& [name, count] : s.operationsByName) {
            out << "  " << name << ": " << count << "\n";
        }
        for (const auto& [failure, places] : s.failuresByMessage) {
            out << "  failed " << failure << ": " << Total(places) << " (" << Places(places)
                << ")\n";
        }
    }

    if (s.exchanges > 0 || s.requests > 0) {
        if (s.exchanges > 0) {
            out << "\nexchanges: " << s.exchanges << ", " << s.failedExchanges << " failed, "
                << s.retries << " retries after a rejected reply\n";
        }
        if (s.requests > 0) {
            out << "\nrequests served by the emulator: " << s.requests << "\n";
        }
        for (const auto& [place, t] : s.places) {
            if (t.exchanges == 0 && t.operations == 0 && t.requests == 0) {
                continue;
            }
            std::vector<std::string> parts;
            const auto count = [&](std::uint64_t n, const char* what) {
                parts.push_back(std::to_string(n) + " " + what);
            };
            if (t.operations > 0)
                count(t.operations, "operations");
            if (t.exchanges > 0) {
                count(t.exchanges, "exchanges");
                count(t.failed, "failed");
                count(t.retries, "retries");
                if (t.silent > 0)
                    count(t.silent, "silent");
                if (t.implausible > 0)
                    count(t.implausible, "implausible replies");
            }
            if (t.requests > 0) {
                count(t.requests, "requests served");
                count(t.unanswered, "unanswered");
            }
            out << "  " << PlaceWords(place) << ":";
            for (std::size_t i = 0; i < parts.size(); ++i) {
                out << (i == 0 ? " " : ", ") << parts[i];
            }
            out << "\n";
        }
    }

    if (!s.replyCodes.empty() || !s.linkCodes.empty()) {
        out << "\nfailures\n";
        for (const auto& [code, places] : s.replyCodes) {
            out << "  " << ReplyCodeWords(code) << ": " << Total(places) << " (" << Places(places)
                << ")\n";
        }
        for (const auto& [code, places] : s.linkCodes) {
            out << "  link code " << code << " (" << LinkCodeWords(code) << "): " << Total(places)
                << " (" << Places(places) << ")\n";
        }
    }

    bool silentHeader = false;
    for (const auto& [place, t] : s.places) {
        if (t.silent == 0) {
            continue;
        }
        if (!silentHeader) {
            out << "\nsilent (no reply reached the reply check)\n";
            silentHeader = true;
        }
        out << "  " << PlaceWords(place) << ": " << t.silent << " of " << t.exchanges
            << " exchanges" << (t.silent == t.exchanges ? ", never answered" : "") << "\n";
    }

    if (!s.slowest.empty()) {
        out << "\nslowest exchanges\n";
        for (const auto& slow : s.slowest) {
            out << "  " << Span(slow.microseconds) << "  " << slow.where << "  "
                << PlaceWords(slow.place) << "  " << Hex(slow.frame) << "  result " << slow.result
                << "\n";
        }
    }

    if (!s.stretches.empty()) {
        out << "\nlink state bad (from the exchange that left it bad to the one that left it "
               "good)\n";
        for (std::size_t i = 0; i < std::min(s.stretches.size(), kStretchesShown); ++i) {
            const auto& st = s.stretches[i];
            out << "  channel " << st.channel << ": " << Clock(st.from) << " .. " << Clock(st.to)
                << " (" << Span(st.to - st.from) << ", " << st.exchanges << " exchanges), "
                << st.fromWhere
                << (st.open ? ", still bad where the trace ends" : " to " + st.toWhere) << "\n";
        }
        if (s.stretches.size() > kStretchesShown) {
            out << "  and " << s.stretches.size() - kStretchesShown << " shorter\n";
        }
    }

    if (!s.faults.empty()) {
        out << "\nfaults injected\n";
        for (const auto& [fault, places] : s.faults) {
            out << "  " << fault << ": " << Total(places) << " (" << Places(places) << ")\n";
        }
        for (const std::string& request : s.faultRequests) {
            out << "    " << request << "\n";
        }
    }

    if (s.lost > 0 || !s.troubles.empty()) {
        out << "\nthe trace itself: " << s.lost << " lines could not be written\n";
        for (const std::string& trouble : s.troubles) {
            out << "  " << trouble << "\n";
        }
    }
    if (log.unreadable > 0 || !log.problems.empty()) {
        out << "\n" << log.unreadable << " lines did not read\n";
        for (std::size_t i = 0; i < std::min(log.problems.size(), kProblemsShown); ++i) {
            out << "  " << log.problems[i] << "\n";
        }
        if (log.problems.size() > kProblemsShown) {
            out << "  and " << log.problems.size() - kProblemsShown << " more\n";
        }
    }
}

}  // namespace fuel::trace
