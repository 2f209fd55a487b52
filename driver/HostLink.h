// The line as the driver sees it. The driver never touches a port: every byte goes through
// this interface, which the host (or one of our own links) implements. The operations keep
// the host's order, arguments and results; channel arguments hold a channel 1..32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuel {

// The driver's reply check as the link calls it: (object, channel, reply, highest valid
// index, received count, expected count) -> accepted. The counts are passed by reference and
// left unchanged.
struct ReplyHandler {
    using Routine = bool (*)(void* object, std::uint32_t channel, const std::uint8_t* reply,
                             std::int32_t high, const std::uint8_t& receivedCount,
                             const std::uint8_t& expectedCount);
    Routine routine = nullptr;
    void* object = nullptr;

    explicit operator bool() const { return routine != nullptr; }
    bool operator()(std::uint32_t channel, const std::uint8_t* reply, std::int32_t high,
                    const std::uint8_t& receivedCount, const std::uint8_t& expectedCount) const {
        return routine(object, channel, reply, high, receivedCount, expectedCount);
    }
};

// The driver's line-settings routine: (object, channel) -> the link's ConfigureLine result.
struct LineInitializer {
    using Routine = std::int32_t (*)(void* object, std::uint32_t channel);
    Routine routine = nullptr;
    void* object = nullptr;

    explicit operator bool() const { return routine != nullptr; }
    std::int32_t operator()(std::uint32_t channel) const { return routine(object, channel); }
};

// Reply codes and link states that the reply check reports to the link.
namespace reply_code {
inline constexpr std::int32_t kAccepted = 0;
inline constexpr std::int32_t kBadStart = 223;  // no 'A' first, or no 'H' opening the frame
inline constexpr std::int32_t kOnlyAcknowledge = 219;
inline constexpr std::int32_t kNoEnd = 209;  // the frame's last byte is not 'E'
inline constexpr std::int32_t kBadChecksum = 222;
}  // namespace reply_code

namespace link_state {
inline constexpr std::uint8_t kGood = 1;
inline constexpr std::uint8_t kBad = 3;
}  // namespace link_state

// Where each operation stands in the table of routines of the host's line object, which a
// host reads by position; the entries between them are the host's own, never called.
enum class HostLinkEntry : std::size_t {
    GetChannelError = 1,
    SetChannelError = 2,
    SetChannelState = 3,
    GetChannelState = 4,
    Transact = 16,
    ConfigureLine = 17,
    SetReplyValidator = 19,
    SetLineInitializer = 21,
};
inline constexpr std::size_t kHostLinkTableSize = 22;

constexpr std::size_t EntryNumber(HostLinkEntry entry) {
    return static_cast<std::size_t>(entry);
}

class HostLink {
  public:
    // Table entry 1: the channel's failure code, 0 when there was none.
    virtual std::int32_t GetChannelError(std::uint32_t channel) = 0;
    // Entry 2.
    virtual void SetChannelError(std::uint32_t channel, std::int32_t code) = 0;
    // Entry 3: 1 = last reply accepted, 3 = rejected.
    virtual void SetChannelState(std::uint32_t channel, std::int32_t state) = 0;
    // Entry 4: the driver uses the low byte only.
    virtual std::int32_t GetChannelState(std::uint32_t channel) = 0;
    // Entry 16: sends the frame unchanged, places the reply from reply[0], judges it with the
    // reply handler registered last for the channel; 0 exactly when a reply was received and
    // accepted. May throw.
    virtual std::int32_t Transact(std::uint32_t channel, const std::uint8_t* frame,
                                  std::uint8_t frameLength, std::uint8_t* reply,
                                  std::uint8_t replyLength, std::uint32_t reserved) = 0;
    // Entry 17: the driver passes 75 and 4800.
    virtual std::int32_t ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                                       std::uint32_t baudRate) = 0;
    // Entry 19.
    virtual void SetReplyValidator(std::uint32_t channel, ReplyHandler handler) = 0;
    // Entry 21.
    virtual void SetLineInitializer(std::uint32_t channel, LineInitializer handler) = 0;

    virtual ~HostLink() = default;
};

}  // namespace fuel
