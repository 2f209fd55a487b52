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

#include "driver/DriverTables.h"
#include "driver/Exceptions.h"
#include "driver/HostLink.h"
#include "driver/HostSlots.h"
#include "driver/StatusRecord.h"

namespace fuel {

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

// The four options, as the options file and the programming dialog name them.
struct DriverOptions {
    bool OrigAdres = false;
    bool StartInLiter = true;
    bool WStart = false;
    bool WDoza = false;

    bool operator==(const DriverOptions&) const = default;
};

class TVM30 : protected DriverTables {
  public:
    // Construction: tables to their defaults, three options from the flags byte (bits 4..6),
    // then the four options from section "Varno" of the INI file at cnfIniPath.
    TVM30(std::uint32_t flags, fuel::HostLink* hostLink, const std::string& cnfIniPath);
    virtual ~TVM30() = default;
    TVM30(const TVM30&) = delete;
    TVM30& operator=(const TVM30&) = delete;

    // ---- Host operations, in the order of the host's table: one virtual function for each
    // operation of the list in driver/HostOperations.def, where their slots, parameters and
    // notes are.
#define FUEL_HOST_OPERATION(slot, name, result, resultKey, ...) \
    virtual result name(FUEL_PARAMETERS(__VA_ARGS__));
#include "driver/HostOperations.def"

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

    // ---- The tables (driver/DriverTables.h), read-only from outside the driver; the
    // functions below change them on behalf of a caller that is no operation of the host.
    const DriverTables& Tables() const {
        return *this;
    }
    // Puts back what a trace recorded of a dispenser or a channel.
    void RestoreDispenser(std::int64_t channel, std::int64_t dispenser,
                          const DispenserState& state);
    void RestoreLinkState(std::int64_t channel, std::uint8_t state);
    // Points the dispenser's current nozzle (the one a stop and a data read address) at a
    // nozzle, as a start of it would, without sending anything: for a program that finds a
    // fill it did not start.
    void SelectNozzle(std::int64_t channel, std::int64_t dispenser, std::uint8_t nozzle);

    // ---- State the driver keeps besides its tables, in the order the host's driver
    // declares it.
    fuel::HostLink* HostLink = nullptr;
    bool OrigAdres = false;
    bool StartInLiter = false;
    bool WStart = false;
    bool WDoza = false;

    DriverOptions Options() const {
        return {OrigAdres, StartInLiter, WStart, WDoza};
    }
    void SetOptions(const DriverOptions& options);

    // Reads the four options from section "Varno", each defaulting to its current value.
    void ReadOptions(const std::string& cnfIniPath);

  protected:
    // Told of every change RestoreDispenser, RestoreLinkState and SelectNozzle make, which no
    // operation of the host records: the traced driver writes it down.
    virtual void TablesChanged(std::int64_t channel, std::int64_t dispenser);

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
