// The line object as a 32-bit host implements it: an object whose first word points to a
// table of stdcall routines (entries 1..4, 16, 17, 19, 21), serving scripted replies and
// judging each one by calling back the reply check that the driver registered, with the
// buffer, the highest valid index and pointers to both counts.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "tests/win32/HostCalls.h"

namespace fuel::test::win32 {

using Bytes = std::vector<std::uint8_t>;

// What the host does with one request.
struct HostReply {
    enum class Kind { Answer, Silence, RaiseInTransact };
    Kind kind = Kind::Answer;
    Bytes bytes;                                // placed from reply[0], cut at the asked length
    std::optional<std::uint8_t> receivedCount;  // default: the bytes placed
    std::optional<std::int32_t> high;           // default: asked length - 1
    bool nullReceivedCount = false;             // hands the check a null count pointer
};

inline constexpr DWORD kHostExceptionCode = 0xE0484F53;  // the host's own exception
inline constexpr std::int32_t kHostSilenceCode = 1000;
inline constexpr std::int32_t kHostRaisedCode = 1001;

class TestHost {
  public:
    TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // What the driver is handed as its line: the object whose first word is the table.
    void* Object() { return &object_; }

    void Queue(HostReply reply) { script_.push_back(std::move(reply)); }
    void QueueAck() { Queue({HostReply::Kind::Answer, {'A'}, {}, {}, false}); }
    void QueueReply(Bytes bytes) {
        Queue({HostReply::Kind::Answer, std::move(bytes), {}, {}, false});
    }
    void QueueRaise() { Queue({HostReply::Kind::RaiseInTransact, {}, {}, {}, false}); }
    // Answers when the script is empty: 'A' for one byte, else 'A' 'H' '0'... checksum 'E'.
    bool answerEverything = false;

    // Host routines that raise the host's own exception when the driver calls them.
    bool raiseInGetChannelState = false;
    bool raiseInSetReplyValidator = false;

    std::int32_t configureResult = 0;

    struct Sent {
        std::uint32_t channel;
        Bytes frame;
        std::uint32_t replyLength;
        std::uint32_t reserved;
    };
    struct Handler {
        void* routine = nullptr;
        void* object = nullptr;
    };
    struct Configure {
        std::uint32_t channel, timeout, baudRate;
    };

    std::vector<Sent> sent;
    std::vector<std::int32_t> channelStates;  // SetChannelState, in order
    std::vector<std::int32_t> channelErrors;  // SetChannelError, in order
    std::vector<Configure> configureCalls;
    int getChannelErrorCalls = 0;
    std::array<std::int32_t, 256> errors{};
    std::array<std::int32_t, 256> states{};
    std::array<Handler, 256> validators{};
    std::array<Handler, 256> initializers{};

    // What the host's termination handler inside Transact saw.
    TerminationLog transactLog;
    std::uint8_t lastCheckResult = 0xFF;

    // Calls the reply check registered for the channel as the line would (outside Transact).
    GuardedOutcome CallValidator(std::uint32_t channel, const std::uint8_t* reply,
                                 std::int32_t high, const std::uint8_t* received,
                                 const std::uint8_t* expected);
    // Calls the line initializer registered for the channel.
    GuardedOutcome CallInitializer(std::uint32_t channel);

    // Table routines; public for the host table (HostTable.h).
    static std::int32_t __stdcall GetChannelError(void* self, std::uint32_t channel);
    static void __stdcall SetChannelError(void* self, std::uint32_t channel, std::int32_t code);
    static void __stdcall SetChannelState(void* self, std::uint32_t channel, std::int32_t state);
    static std::int32_t __stdcall GetChannelState(void* self, std::uint32_t channel);
    static std::int32_t __stdcall Transact(void* self, std::uint32_t channel,
                                           const std::uint8_t* frame, std::uint32_t frameLength,
                                           std::uint8_t* reply, std::uint32_t replyLength,
                                           std::uint32_t reserved);
    static std::int32_t __stdcall ConfigureLine(void* self, std::uint32_t channel,
                                                std::uint32_t timeout, std::uint32_t baudRate);
    static void __stdcall SetReplyValidator(void* self, std::uint32_t channel, void* routine,
                                            void* object);
    static void __stdcall SetLineInitializer(void* self, std::uint32_t channel, void* routine,
                                             void* object);

  private:
    struct HostObject {
        const void* const* table;
        TestHost* host;
    };
    static TestHost& Of(void* self) { return *static_cast<HostObject*>(self)->host; }

    // The next reply, copied into plain storage so that nothing in Transact's frame needs
    // destroying when an exception unwinds through it.
    struct PlainReply {
        HostReply::Kind kind;
        std::uint8_t bytes[256];
        std::uint32_t length;
        bool hasReceivedCount;
        std::uint8_t receivedCount;
        bool hasHigh;
        std::int32_t high;
        bool nullReceivedCount;
    };
    void Record(std::uint32_t channel, const std::uint8_t* frame, std::uint32_t frameLength,
                std::uint32_t replyLength, std::uint32_t reserved);
    PlainReply NextReply(std::uint32_t replyLength);

    HostObject object_;
    std::deque<HostReply> script_;
};

}  // namespace fuel::test::win32
