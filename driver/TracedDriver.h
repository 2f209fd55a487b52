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

    [[noreturn]] void AbstractOperation() override;
    std::string GetProtocolDescription() override;
    void SetLinkState(std::uint8_t channel, std::uint8_t value) override;
    std::uint8_t GetLinkState(std::uint8_t channel) override;
    std::int32_t StopPump(std::uint32_t channel, std::uint32_t dispenser,
                          std::uint8_t stopFlag) override;
    std::int32_t ReservedQuery(std::uint32_t value) override;
    void GetFinalDispensedData(std::uint32_t channel, std::uint32_t dispenser, double& volume,
                               double& amount) override;
    void GetTotalizer(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                      double& volumeTotal, double& moneyTotal, std::uint32_t reserved1,
                      std::uint32_t reserved2) override;
    void ReservedOperationA(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                            std::uint32_t e, std::uint32_t f, std::uint32_t g) override;
    double GetDispensedData(std::uint32_t channel, std::uint32_t dispenser,
                            double& amount) override;
    std::uint8_t GetStatusCode(std::uint8_t channel, std::uint8_t dispenser) override;
    void SetPrice(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                  std::uint32_t reserved1, std::uint32_t reserved2, double price) override;
    void ReservedOperationB(std::uint32_t a, std::uint32_t b, std::uint32_t c) override;
    void SetVolumeLimit(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                        std::uint32_t reserved, double limit) override;
    void SetMoneyLimit(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                       std::uint32_t reserved, double limit) override;
    std::int32_t StartPump(std::uint32_t channel, std::uint32_t dispenser,
                           std::uint32_t nozzle) override;
    std::int32_t InitLink(std::uint32_t channel) override;
    std::int32_t ReadParameter(std::uint32_t channel, std::uint32_t address,
                               std::int32_t cell) override;
    std::int32_t WriteParameter(std::uint32_t channel, std::uint32_t address, std::int32_t cell,
                                std::int32_t value) override;
    void StartFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                   std::uint8_t flag) override;
    bool GetDriverInfo(std::uint32_t key, std::uint32_t& value) override;
    void PollDispenserStatus(std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
                             StatusRecord& record) override;
    void StopFillOnRequest(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t reserved,
                           std::uint8_t stopFlag) override;
    void StopFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t reserved,
                  std::uint8_t stopFlag) override;
    void ReservedOperationC(std::uint32_t a, std::uint32_t b) override;
    void ReservedOperationD(std::uint32_t a, std::uint32_t b) override;
    void PollDispenserStatusEx(std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
                               StatusRecordEx& record) override;
    void HandleHostEvent(std::uint32_t event, std::uint32_t reserved, std::uint8_t channel,
                         std::uint8_t dispenser, std::uint8_t nozzle) override;

    std::int32_t Exchange(std::uint8_t channel, std::span<std::uint8_t> buffer, std::uint8_t n,
                          std::uint8_t replyLength, std::uint32_t reserved = 0) override;
    bool ReplyCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                    const std::uint8_t& receivedCount, const std::uint8_t& expectedCount) override;
    std::int32_t ApplyLinkSettings(std::uint32_t channel) override;

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

    template <typename Arguments, typename Body, typename Outcome>
    void Operation(std::string_view name, std::int64_t channel, std::int64_t dispenser,
                   const Arguments& arguments, const Body& body, const Outcome& outcome);

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
    std::optional<std::array<bool, 4>> recordedOptions_;
};

}  // namespace fuel
