// The trace as a file: lines appended and flushed one by one, so that the last line before a
// crash is on disk; a size cap with one predecessor (FILE.1), so that a station's disk never
// fills; and a file that cannot be written costs the operation nothing but the failed write.
// The lines that were lost are counted and reported in the file's next line that can be
// written ("note lost=... since=... reason=...").
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "driver/TraceSink.h"

namespace fuel {

inline constexpr std::uintmax_t kDefaultTraceBytes = 1024 * 1024;
inline constexpr std::uintmax_t kSmallestTraceBytes = 16 * 1024;
inline constexpr std::uintmax_t kLargestTraceBytes = 1024 * 1024 * 1024;

struct TraceFileSettings {
    std::filesystem::path path;
    // A file is closed and becomes the predecessor at the first place a reader can start
    // after it has reached this size; if no such place comes, at twice this size.
    std::uintmax_t maxBytes = kDefaultTraceBytes;
};

class TraceFile final : public TraceSink {
  public:
    // source: what the "trace" line says wrote the file. Nothing is opened before the first
    // line is written.
    TraceFile(TraceFileSettings settings, std::string source, std::shared_ptr<TraceClock> clock);
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    TraceTime Now() override;
    void Record(const TraceEvent& event) noexcept override;
    bool NewFileDue() noexcept override;
    void BeginFile() noexcept override;

    const TraceFileSettings& Settings() const { return settings_; }
    // FILE.1: the file before the current one.
    static std::filesystem::path Predecessor(const std::filesystem::path& path);

  private:
    void Rotate();
    bool Open(bool truncate);
    void Write(const std::string& line, TraceStamp now);
    void Lose(TraceStamp now, const std::string& reason);

    TraceFileSettings settings_;
    std::string source_;
    std::shared_ptr<TraceClock> clock_;
    std::ofstream stream_;
    std::uintmax_t size_ = 0;
    bool begun_ = false;
    bool brokenLine_ = false;
    bool headerDue_ = false;  // the file's "trace" line is still to be written
    // Lines that could not be written since the last one that could.
    std::uint64_t lost_ = 0;
    TraceStamp lostSince_ = 0;
    std::string trouble_;  // why, for the note; also set by a rotation that went wrong
    std::chrono::nanoseconds retryAt_{};  // a failed open is tried again after a pause
};

}  // namespace fuel
