// The driver object: the host's only handle on the driver. It holds the host's line, the
// options and every table of per-channel and per-dispenser state that the commands and the
// status poll share. The host operations are virtual, so that operations calling one another
// go through the object's own table of operations, as the host's calls do.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "driver/CheckedArray.h"
#include "driver/Exceptions.h"
#include "driver/HostLink.h"
#include "driver/StatusRecord.h"

namespace fuel {

inline constexpr int kChannels = 32;
inline constexpr int kDispensers = 32;
inline constexpr int kNozzles = 6;

template <typename T>
using ByChannel = CheckedArray<T, 1, kChannels>;
template <typename T>
using ByDispenser = ByChannel<CheckedArray<T, 1, kDispensers>>;
template <typename T>
using ByNozzle = ByDispenser<CheckedArray<T, 1, kNozzles>>;

// Status codes the driver hands to the host; the fill-related ones carry the nozzle number
// in their low three bits.
namespace status_code {
inline constexpr std::uint8_t kNoActivity = 192;
inline constexpr std::uint8_t kIdle = 200;
inline constexpr std::uint8_t kFillEnded = 208;    // + nozzle
inline constexpr std::uint8_t kFillRunning = 216;  // + nozzle
inline constexpr std::uint8_t kWaiting = 224;      // + nozzle
// A mode-'0' dispenser's words: a requested start reads as running on nozzle 1, a stop as
// ended on nozzle 1.
inline constexpr std::uint8_t kRunningOnNozzle1 = kFillRunning + 1;
inline constexpr std::uint8_t kEndedOnNozzle1 = kFillEnded + 1;
}  // namespace status_code

// The controller mode whose status, doses and prices the driver keeps itself.
inline constexpr std::uint8_t kModeZero = '0';

// Where the driver's options file lives off Windows: $CNF_INI when set, else /etc/cnf.INI.
std::string DefaultCnfIniPath();

// The request frame: 'H', the command data, the checksum, 'E', with its length kept apart.
struct Frame {
    std::uint8_t length = 0;
    std::array<std::uint8_t, 255> bytes{};
};
inline constexpr std::uint8_t kMaxFrameData = 252;

// Fills frame with 'H' data checksum 'E'; the checksum is (0x8D + sum of data) mod 256.
void BuildFrame(Frame& frame, std::span<const std::uint8_t> data);

// Every command's data and its reply share one buffer of this size (the longest reply).
inline constexpr std::size_t kCommandBufferSize = 20;
using CommandBuffer = std::array<std::uint8_t, kCommandBufferSize>;

class TVM30 {
  public:
    // Construction: tables to their defaults, three options from the flags byte (bits 4..6),
    // then the four options from section "Varno" of the INI file at cnfIniPath.
    TVM30(std::uint32_t flags, fuel::HostLink* hostLink, const std::string& cnfIniPath);
    virtual ~TVM30() = default;
    TVM30(const TVM30&) = delete;
    TVM30& operator=(const TVM30&) = delete;

    // ---- Host operations, in the order of the host's table (slot numbers in comments).

    // 0: declared, never provided.
    [[noreturn]] virtual void AbstractOperation();
    // 1: "v2.50#Протокол к ТРК-ВАРНО" (UTF-8 here; 26 characters).
    virtual std::string GetProtocolDescription();
    // 2, 3
    virtual void SetLinkState(std::uint8_t channel, std::uint8_t value);
    virtual std::uint8_t GetLinkState(std::uint8_t channel);
    // 4
    virtual std::int32_t StopPump(std::uint32_t channel, std::uint32_t dispenser,
                                  std::uint8_t stopFlag);
    // 5
    virtual std::int32_t ReservedQuery(std::uint32_t value);
    // 6
    virtual void GetFinalDispensedData(std::uint32_t channel, std::uint32_t dispenser,
                                       double& volume, double& amount);
    // 7
    virtual void GetTotalizer(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                              double& volumeTotal, double& moneyTotal, std::uint32_t reserved1,
                              std::uint32_t reserved2);
    // 8
    virtual void ReservedOperationA(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                    std::uint32_t, std::uint32_t, std::uint32_t);
    // 9: returns the volume.
    virtual double GetDispensedData(std::uint32_t channel, std::uint32_t dispenser, double& amount);
    // 10
    virtual std::uint8_t GetStatusCode(std::uint8_t channel, std::uint8_t dispenser);
    // 11
    virtual void SetPrice(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                          std::uint32_t reserved1, std::uint32_t reserved2, double price);
    // 12
    virtual void ReservedOperationB(std::uint32_t, std::uint32_t, std::uint32_t);
    // 13, 14
    virtual void SetVolumeLimit(std::uint32_t channel, std::uint32_t dispenser,
                                std::uint32_t nozzle, std::uint32_t reserved, double limit);
    virtual void SetMoneyLimit(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                               std::uint32_t reserved, double limit);
    // 15: nozzle 0..255 accepted.
    virtual std::int32_t StartPump(std::uint32_t channel, std::uint32_t dispenser,
                                   std::uint32_t nozzle);
    // 16
    virtual std::int32_t InitLink(std::uint32_t channel);
    // 17, 18: cell 0..255 RAM, 256 + k ROM cell k.
    virtual std::int32_t ReadParameter(std::uint32_t channel, std::uint32_t address,
                                       std::int32_t cell);
    virtual std::int32_t WriteParameter(std::uint32_t channel, std::uint32_t address,
                                        std::int32_t cell, std::int32_t value);
    // 19
    virtual void StartFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle,
                           std::uint8_t flag);
    // 20
    virtual bool GetDriverInfo(std::uint32_t key, std::uint32_t& value);
    // 21
    virtual void PollDispenserStatus(std::uint8_t channel, std::uint8_t dispenser,
                                     std::uint8_t count, StatusRecord& record);
    // 22, 23
    virtual void StopFillOnRequest(std::uint32_t channel, std::uint32_t dispenser,
                                   std::uint32_t reserved, std::uint8_t stopFlag);
    virtual void StopFill(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t reserved,
                          std::uint8_t stopFlag);
    // 24 (AddMenuItems) belongs to the service tool and the platform's menu bridge.
    // 25, 26
    virtual void ReservedOperationC(std::uint32_t, std::uint32_t);
    virtual void ReservedOperationD(std::uint32_t, std::uint32_t);
    // 27
    virtual void PollDispenserStatusEx(std::uint8_t channel, std::uint8_t dispenser,
                                       std::uint8_t count, StatusRecordEx& record);
    // 28
    virtual void HandleHostEvent(std::uint32_t event, std::uint32_t reserved, std::uint8_t channel,
                                 std::uint8_t dispenser, std::uint8_t nozzle);

    // ---- The exchange with a dispenser. Virtual, like the host operations, so that a driver
    // that records what it does (TracedDriver) sees every exchange and every reply check;
    // the plain driver pays one indirect call for it and nothing else.

    // Sends buffer[0..n-1] framed, has the reply placed in buffer[0..R-1] and returns the
    // link's result (0 = success). LinkState follows the link's verdict.
    virtual std::int32_t Exchange(std::uint8_t channel, std::span<std::uint8_t> buffer,
                                  std::uint8_t n, std::uint8_t replyLength,
                                  std::uint32_t reserved = 0);
    // Judges a reply for the link: reads only reply[0..high].
    virtual bool ReplyCheck(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                            const std::uint8_t& receivedCount, const std::uint8_t& expectedCount);
    // The reply check's two halves: the code a reply earns (reply_code, reading only
    // reply[0..high]), and reporting it to the link (state, then code; true when accepted).
    std::int32_t JudgeReply(const std::uint8_t* reply, std::int32_t high,
                            const std::uint8_t& receivedCount,
                            const std::uint8_t& expectedCount) const;
    bool ReportVerdict(std::uint32_t channel, std::int32_t code);
    // The bus address of a nozzle.
    std::uint8_t NozzleCode(std::uint8_t dispenser, std::uint8_t nozzle) const;
    // The line-settings routine that InitLink registers with the link.
    virtual std::int32_t ApplyLinkSettings(std::uint32_t channel);

    // The handlers as the link holds them: routine plus this object.
    ReplyHandler ReplyCheckHandler();
    LineInitializer ApplyLinkSettingsHandler();

    // ---- Internal steps of the commands and the status poll.

    std::int32_t ReadPrice(std::uint32_t channel, std::uint32_t dispenser, std::uint32_t nozzle);
    std::uint8_t PollNozzle(std::uint8_t channel, std::uint8_t dispenser, std::uint8_t count,
                            std::uint8_t nozzle, CommandBuffer& buffer);
    std::uint8_t DecodeStatusChar(std::uint8_t statusChar, std::uint8_t channel,
                                  std::uint8_t dispenser, std::uint8_t nozzle);
    void RefreshDispenserMode(std::uint8_t channel, std::uint8_t dispenser);

    bool InModeZero(std::int64_t channel, std::int64_t dispenser) const {
        return DispenserMode[channel][dispenser] == kModeZero;
    }
    bool HasDecimalsMode(std::int64_t channel, std::int64_t dispenser) const {
        const std::uint8_t mode = DispenserMode[channel][dispenser];
        return mode >= 0x40 && mode <= 0x47;
    }

    // ---- State, in the order the host's driver declares it.

    fuel::HostLink* HostLink = nullptr;
    ByNozzle<double> NozzlePrice;
    ByDispenser<double> VolumeLimit;
    ByDispenser<double> MoneyLimit;
    ByNozzle<double> NozzleVolume;
    ByChannel<std::uint8_t> LinkState;
    ByDispenser<std::uint8_t> CurrentNozzle;
    ByNozzle<std::uint16_t> NozzleStatus;
    ByDispenser<std::uint8_t> DispenserMode;
    ByDispenser<std::int32_t> ModeRecheckCountdown;
    ByDispenser<std::int32_t> ModeStableCount;
    ByDispenser<std::uint8_t> VolumeDecimals;
    ByDispenser<std::uint8_t> MoneyDecimals;
    bool OrigAdres = false;
    bool StartInLiter = false;
    bool WStart = false;
    bool WDoza = false;

    // Reads the four options from section "Varno", each defaulting to its current value.
    void ReadOptions(const std::string& cnfIniPath);

  protected:
    // The steps of Exchange, with a watcher told of each (driver/ExchangeSteps.h): the plain
    // driver's does nothing and compiles away.
    template <typename Watch>
    std::int32_t ExchangeWatched(std::uint8_t channel, std::span<std::uint8_t> buffer,
                                 std::uint8_t n, std::uint8_t replyLength, Watch& watch);
};

class TraceSink;

// The factories. Each call creates a new driver object (the caller owns it; the driver
// never frees it) and makes it the library-wide driver reference. Only bits 4..6 of the
// flags' low byte count; the other arguments are ignored. These read the options from
// DefaultCnfIniPath(); CreateDriver takes the path from the caller. When the options file
// names a trace file (driver/TraceSettings.h) the driver records what it does there; a
// caller with a sink of its own passes it instead, and the driver traces into that.
TVM30* CreateDriver(std::uint32_t flags, fuel::HostLink* hostLink, const std::string& cnfIniPath,
                    std::shared_ptr<TraceSink> sink = nullptr);
TVM30* GetVE30(std::uint32_t flags, std::uint32_t reserved, fuel::HostLink* hostLink);
TVM30* GetDriver25(std::uint32_t flags, std::uint32_t reserved, fuel::HostLink* hostLink,
                   std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);

// The driver object created last, or nullptr before the first factory call.
TVM30* LibraryDriver();

}  // namespace fuel
