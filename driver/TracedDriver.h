// The driver with its trace on: the same driver (it derives from TVM30 and changes nothing
// it decides), recording each host operation with its arguments and its outcome, and each
// exchange with the frame, the reply, the reply check's verdict, the link state and the time
// the link took. Only the factories make one, and only when the options file asks for a
// trace; the plain driver carries no trace at all.
//
// Operations that call others through the table (GetStatusCode polls, StartFill starts the
// pump, a poll may stop a fill) show as nested calls, marked "in=N" with the number of the
// call they run in, so that a replay runs only the outer ones.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "driver/TVM30.h"
#include "driver/TraceSink.h"

namespace fuel {

class TracedDriver final : public TVM30 {
  public:
    TracedDriver(std::uint32_t flags, fuel::HostLink* hostLink, const std::string& cnfIniPath,
                 std::shared_ptr<TraceSink> sink);

    TraceSink& Sink() { return *sink_; }

#define FUEL_HOST_OPERATION(slot, name, result, resultKey, ...) \
    result name(FUEL_PARAMETERS(__VA_ARGS__)) override;
#include "driver/HostOperations.def"

    std::int32_t Exchange(std::uint8_t channel, std::span<std::uint8_t> buffer, std::uint8_t n,
                          std::uint8_t replyLength, std::uint32_t reserved = 0) override;
    bool ReplyCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                    const std::uint8_t& receivedCount, const std::uint8_t& expectedCount) override;
    std::int32_t ApplyLinkSettings(std::uint32_t channel) override;

  protected:
    void TablesChanged(std::int64_t channel, std::int64_t dispenser) override;

  private:
    friend class ExchangeRecorder;

    // One reply the reply check judged, kept while the link's call runs and written after it.
    struct CheckRecord {
        TraceStamp time = 0;
        std::uint32_t channel = 0;
        std::uint8_t received = 0;
        std::uint8_t expected = 0;
        std::int32_t high = 0;
        std::array<std::uint8_t, 256> bytes{};
        std::size_t length = 0;
        std::optional<std::int32_t> code;  // none: the check raised a range error
    };
    // An operation that has begun and not ended.
    struct OpenOperation {
        std::uint64_t number = 0;
        std::int64_t channel = 0;    // 0 when it has none
        std::int64_t dispenser = 0;  // or the bus address of a parameter command
    };

    // Runs one operation of the list (driver/HostOperations.h) between its "call" line and
    // its "done" or "fail" line.
    template <typename Operation, typename Body, typename... Arguments>
    auto Traced(const Body& body, Arguments&... arguments) -> decltype(body());

    std::uint64_t Begin(std::string_view name, std::int64_t channel, std::int64_t dispenser,
                        const std::function<void(TraceEvent&)>& arguments) noexcept;
    void End(std::uint64_t number, std::string_view name, bool finished,
             const std::function<void(TraceEvent&, bool)>& outcome) noexcept;
    // Between two outer operations: a new file, with what a reader needs, or changed options.
    void AtBoundary() noexcept;
    void RecordOptions(TraceStamp time);
    void RecordState(TraceStamp time);
    void NoteCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                   std::uint8_t received, std::uint8_t expected,
                   std::optional<std::int32_t> code) noexcept;
    TraceEvent CheckEvent(const CheckRecord& check) const;
    // The channel's LinkState when the channel is one, for the outcome lines.
    void WithLinkState(TraceEvent& event, std::int64_t channel) const;
    const OpenOperation* Innermost() const;

    std::shared_ptr<TraceSink> sink_;
    std::uint32_t flags_;
    std::uint64_t nextOperation_ = 1;
    static constexpr std::size_t kDeepest = 16;
    std::array<OpenOperation, kDeepest> open_{};
    std::size_t depth_ = 0;
    bool exchanging_ = false;
    std::vector<CheckRecord> checks_;
    std::optional<DriverOptions> recordedOptions_;
};

}  // namespace fuel
