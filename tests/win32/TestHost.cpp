#include "tests/win32/TestHost.h"

#include <algorithm>
#include <cstring>

#include "tests/win32/HostTable.h"

namespace fuel::test::win32 {
namespace {

Bytes ZeroDataReply(std::uint32_t length) {
    if (length <= 1) {
        return {'A'};
    }
    Bytes reply(length, '0');
    reply[0] = 'A';
    reply[1] = 'H';
    reply[length - 1] = 'E';
    std::uint8_t sum = 0;
    for (std::uint32_t i = 1; i + 2 < length; ++i) {
        sum = static_cast<std::uint8_t>(sum + reply[i]);
    }
    reply[length - 2] = static_cast<std::uint8_t>(sum + 'E');
    return reply;
}

}  // namespace

TestHost::TestHost() : object_{HostTable<TestHost>(), this} {}

void TestHost::Record(std::uint32_t channel, const std::uint8_t* frame, std::uint32_t frameLength,
                      std::uint32_t replyLength, std::uint32_t reserved) {
    sent.push_back(Sent{channel, Bytes(frame, frame + frameLength), replyLength, reserved});
}

TestHost::PlainReply TestHost::NextReply(std::uint32_t replyLength) {
    HostReply next;
    if (!script_.empty()) {
        next = std::move(script_.front());
        script_.pop_front();
    } else if (answerEverything) {
        next.bytes = ZeroDataReply(replyLength);
    } else {
        next.kind = HostReply::Kind::Silence;
    }
    PlainReply plain{};
    plain.kind = next.kind;
    plain.length = static_cast<std::uint32_t>(std::min<std::size_t>(next.bytes.size(), 256));
    std::copy_n(next.bytes.begin(), plain.length, plain.bytes);
    plain.hasReceivedCount = next.receivedCount.has_value();
    plain.receivedCount = next.receivedCount.value_or(0);
    plain.hasHigh = next.high.has_value();
    plain.high = next.high.value_or(0);
    plain.nullReceivedCount = next.nullReceivedCount;
    return plain;
}

std::int32_t __stdcall TestHost::GetChannelError(void* self, std::uint32_t channel) {
    TestHost& host = Of(self);
    ++host.getChannelErrorCalls;
    return host.errors[channel & 0xFF];
}

void __stdcall TestHost::SetChannelError(void* self, std::uint32_t channel, std::int32_t code) {
    TestHost& host = Of(self);
    host.channelErrors.push_back(code);
    host.errors[channel & 0xFF] = code;
}

void __stdcall TestHost::SetChannelState(void* self, std::uint32_t channel, std::int32_t state) {
    TestHost& host = Of(self);
    host.channelStates.push_back(state);
    host.states[channel & 0xFF] = state;
}

std::int32_t __stdcall TestHost::GetChannelState(void* self, std::uint32_t channel) {
    TestHost& host = Of(self);
    if (host.raiseInGetChannelState) {
        host.errors[channel & 0xFF] = kHostRaisedCode;
        RaiseException(kHostExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    // Only the low byte counts: the rest of the word is the host's own business.
    return static_cast<std::int32_t>(
        0x5A5A5A00u | static_cast<std::uint32_t>(host.states[channel & 0xFF] & 0xFF));
}

// Nothing here may need destroying when an exception unwinds through it: the frame is then
// dropped by the system unwind, and only the termination frame's handler runs.
std::int32_t __stdcall TestHost::Transact(void* self, std::uint32_t channel,
                                          const std::uint8_t* frame, std::uint32_t frameLength,
                                          std::uint8_t* reply, std::uint32_t replyLength,
                                          std::uint32_t reserved) {
    TestHost& host = Of(self);
    const std::uint32_t line = channel & 0xFF;
    host.Record(channel, frame, frameLength, replyLength, reserved);
    const PlainReply answer = host.NextReply(replyLength);

    TerminationFrame termination;
    if (answer.kind == HostReply::Kind::RaiseInTransact) {
        host.errors[line] = kHostRaisedCode;
        Link(termination, host.transactLog);
        const ULONG_PTR detail = 0x484F5354;
        RaiseException(kHostExceptionCode, EXCEPTION_NONCONTINUABLE, 1, &detail);
        Unlink(termination);
        return 0;
    }
    if (answer.kind == HostReply::Kind::Silence) {
        host.errors[line] = kHostSilenceCode;
        host.states[line] = 3;
        return kHostSilenceCode;
    }

    const std::uint32_t placed = std::min(answer.length, replyLength);
    std::memcpy(reply, answer.bytes, placed);
    std::uint8_t received =
        answer.hasReceivedCount ? answer.receivedCount : static_cast<std::uint8_t>(placed);
    std::uint8_t expected = static_cast<std::uint8_t>(replyLength);
    const std::int32_t high =
        answer.hasHigh ? answer.high : static_cast<std::int32_t>(replyLength) - 1;
    const Handler validator = host.validators[line];
    const auto check = reinterpret_cast<ReplyCheckRoutine>(validator.routine);

    Link(termination, host.transactLog);
    const std::uint8_t accepted = check(validator.object, channel, reply, high,
                                        answer.nullReceivedCount ? nullptr : &received, &expected);
    Unlink(termination);
    host.lastCheckResult = accepted;
    if (accepted != 0) {
        return 0;
    }
    return host.errors[line] != 0 ? host.errors[line] : kHostSilenceCode;
}

std::int32_t __stdcall TestHost::ConfigureLine(void* self, std::uint32_t channel,
                                               std::uint32_t timeout, std::uint32_t baudRate) {
    TestHost& host = Of(self);
    host.configureCalls.push_back(Configure{channel, timeout, baudRate});
    return host.configureResult;
}

void __stdcall TestHost::SetReplyValidator(void* self, std::uint32_t channel, void* routine,
                                           void* object) {
    TestHost& host = Of(self);
    if (host.raiseInSetReplyValidator) {
        const ULONG_PTR detail[2] = {0x11111111, 0x22222222};
        RaiseException(kHostExceptionCode, 0, 2, detail);
    }
    host.validators[channel & 0xFF] = Handler{routine, object};
}

void __stdcall TestHost::SetLineInitializer(void* self, std::uint32_t channel, void* routine,
                                            void* object) {
    Of(self).initializers[channel & 0xFF] = Handler{routine, object};
}

GuardedOutcome TestHost::CallValidator(std::uint32_t channel, const std::uint8_t* reply,
                                       std::int32_t high, const std::uint8_t* received,
                                       const std::uint8_t* expected) {
    const Handler validator = validators[channel & 0xFF];
    return CallStdcallGuarded(validator.routine,
                              {Word(validator.object), channel, Word(reply),
                               static_cast<std::uint32_t>(high), Word(received), Word(expected)});
}

GuardedOutcome TestHost::CallInitializer(std::uint32_t channel) {
    const Handler initializer = initializers[channel & 0xFF];
    return CallStdcallGuarded(initializer.routine, {Word(initializer.object), channel});
}

}  // namespace fuel::test::win32
