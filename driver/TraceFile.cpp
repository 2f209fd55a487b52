#include "driver/TraceFile.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace fuel {
namespace {

// A path that cannot be opened is not tried again for this long, so that a station whose
// trace directory is gone pays one failed open a second at most.
constexpr std::chrono::seconds kRetryPause{1};

std::string SystemMessage(int error) {
    return std::generic_category().message(error);
}

std::string Shown(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

TraceFile::TraceFile(TraceFileSettings settings, std::string source,
                     std::shared_ptr<TraceClock> clock)
    : settings_(std::move(settings)), source_(std::move(source)), clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = std::make_shared<SystemTraceClock>();
    }
}

std::filesystem::path TraceFile::Predecessor(const std::filesystem::path& path) {
    std::filesystem::path previous = path;
    previous += ".1";
    return previous;
}

TraceTime TraceFile::Now() {
    return clock_->Now();
}

bool TraceFile::NewFileDue() noexcept {
    return !begun_ || headerDue_ || size_ >= settings_.maxBytes;
}

void TraceFile::BeginFile() noexcept {
    try {
        if (stream_.is_open()) {
            if (size_ >= settings_.maxBytes) {
                Rotate();
            }
        } else if (!begun_ || clock_->Now().steady >= retryAt_) {
            // The first file of this run goes on from what an earlier run left, unless that
            // is full already.
            if (Open(false) && size_ >= settings_.maxBytes) {
                Rotate();
            }
        }
        begun_ = true;
        headerDue_ = true;  // written before the next line, once the file takes lines
    } catch (...) {
        // Out of memory: the next boundary tries again.
    }
}

void TraceFile::Record(const TraceEvent& event) noexcept {
    try {
        if (!begun_ || size_ >= 2 * settings_.maxBytes) {
            // Nobody said where a reader could start: the cap holds all the same.
            BeginFile();
        }
        Write(FormatTraceLine(event), event.time);
    } catch (...) {
        ++lost_;
    }
}

void TraceFile::Rotate() {
    stream_.close();
    const std::filesystem::path& path = settings_.path;
    const std::filesystem::path previous = Predecessor(path);
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        std::filesystem::remove(previous, error);
        std::filesystem::rename(path, previous, error);
        if (error) {
            trouble_ = "cannot keep " + Shown(path) + " as " + Shown(previous) + ": " +
                       error.message() + "; the trace starts over";
        }
    }
    Open(true);
}

bool TraceFile::Open(bool truncate) {
    const std::filesystem::path& path = settings_.path;
    std::error_code error;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), error);
    }
    errno = 0;
    stream_.open(path, std::ios::binary | (truncate ? std::ios::trunc : std::ios::app));
    if (!stream_.is_open()) {
        const int cause = errno;
        stream_.clear();
        retryAt_ = clock_->Now().steady + kRetryPause;
        if (trouble_.empty()) {
            trouble_ = "cannot open " + Shown(path) +
                       (cause != 0 ? ": " + SystemMessage(cause) : std::string());
        }
        return false;
    }
    size_ = 0;
    if (!truncate) {
        const auto existing = std::filesystem::file_size(path, error);
        size_ = error ? 0 : existing;
    }
    if (brokenLine_ && size_ > 0) {
        // The last write may have stopped inside a line: the next one starts on its own.
        stream_.put('\n');
        size_ += 1;
    }
    brokenLine_ = false;
    return true;
}

void TraceFile::Write(const std::string& line, TraceStamp now) {
    if (!stream_.is_open()) {
        if (clock_->Now().steady < retryAt_ || !Open(false)) {
            Lose(now, "");
            return;
        }
    }
    // What the file still owes its reader goes first: its opening line, then what was lost.
    std::string text;
    if (headerDue_) {
        text += FormatTraceLine(TraceHeader(now, source_)) + "\n";
    }
    if (lost_ > 0 || !trouble_.empty()) {
        TraceEvent note(now, "note");
        if (lost_ > 0) {
            note.With("lost", lost_).With("since", FormatStamp(lostSince_));
        }
        note.With("reason", trouble_.empty() ? std::string("unknown") : trouble_);
        text += FormatTraceLine(note) + "\n";
    }
    text += line;
    text += '\n';
    errno = 0;
    stream_.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!stream_.flush()) {
        Lose(now, "cannot write to " + Shown(settings_.path));
        return;
    }
    size_ += text.size();
    headerDue_ = false;
    lost_ = 0;
    trouble_.clear();
}

void TraceFile::Lose(TraceStamp now, const std::string& reason) {
    if (lost_ == 0) {
        lostSince_ = now;
    }
    ++lost_;
    if (trouble_.empty() && !reason.empty()) {
        trouble_ = reason + (errno != 0 ? ": " + SystemMessage(errno) : std::string());
    }
    if (stream_.is_open() && !stream_.good()) {
        brokenLine_ = true;
        // A stream that failed stays failed: start again from a fresh open after the pause.
        stream_.close();
        stream_.clear();
        retryAt_ = clock_->Now().steady + kRetryPause;
    }
}

}  // namespace fuel
