#include "tests/win32/EmulatedHost.h"

#include "driver/Exceptions.h"

namespace fuel::test::win32 {
namespace {

using ValidatorRoutine = std::uint8_t(__stdcall*)(void* object, std::uint32_t channel,
                                                  const std::uint8_t* reply, std::int32_t high,
                                                  const std::uint8_t* receivedCount,
                                                  const std::uint8_t* expectedCount);
using InitializerRoutine = std::int32_t(__stdcall*)(void* object, std::uint32_t channel);

template <typename Routine>
const void* Entry(Routine routine) {
    return reinterpret_cast<const void*>(routine);
}

const void* const kTable[22] = {
    nullptr,
    Entry(&EmulatedHost::GetChannelError),
    Entry(&EmulatedHost::SetChannelError),
    Entry(&EmulatedHost::SetChannelState),
    Entry(&EmulatedHost::GetChannelState),
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    Entry(&EmulatedHost::Transact),
    Entry(&EmulatedHost::ConfigureLine),
    nullptr,
    Entry(&EmulatedHost::SetReplyValidator),
    nullptr,
    Entry(&EmulatedHost::SetLineInitializer),
};

std::size_t Line(std::uint32_t channel) {
    return channel >= 1 && channel <= 32 ? channel : 0;
}

}  // namespace

EmulatedHost::EmulatedHost(emulator::Emulator& bus, std::uint32_t channel)
    : object_{kTable, this}, link_(bus, channel) {}

bool EmulatedHost::CallValidator(void* handler, std::uint32_t channel, const std::uint8_t* reply,
                                 std::int32_t high, const std::uint8_t& received,
                                 const std::uint8_t& expected) {
    const auto& registered = *static_cast<const Handler*>(handler);
    const auto routine = reinterpret_cast<ValidatorRoutine>(registered.routine);
    return routine(registered.object, channel, reply, high, &received, &expected) != 0;
}

std::int32_t EmulatedHost::CallInitializer(void* handler, std::uint32_t channel) {
    const auto& registered = *static_cast<const Handler*>(handler);
    return reinterpret_cast<InitializerRoutine>(registered.routine)(registered.object, channel);
}

std::int32_t __stdcall EmulatedHost::GetChannelError(void* self, std::uint32_t channel) {
    return Of(self).link_.GetChannelError(channel);
}

void __stdcall EmulatedHost::SetChannelError(void* self, std::uint32_t channel, std::int32_t code) {
    Of(self).link_.SetChannelError(channel, code);
}

void __stdcall EmulatedHost::SetChannelState(void* self, std::uint32_t channel,
                                             std::int32_t state) {
    Of(self).link_.SetChannelState(channel, state);
}

std::int32_t __stdcall EmulatedHost::GetChannelState(void* self, std::uint32_t channel) {
    return Of(self).link_.GetChannelState(channel);
}

std::int32_t __stdcall EmulatedHost::Transact(void* self, std::uint32_t channel,
                                              const std::uint8_t* frame, std::uint32_t frameLength,
                                              std::uint8_t* reply, std::uint32_t replyLength,
                                              std::uint32_t reserved) {
    // A line the emulator does not serve answers nothing, as a port with nobody on it.
    try {
        return Of(self).link_.Transact(channel, frame, static_cast<std::uint8_t>(frameLength),
                                       reply, static_cast<std::uint8_t>(replyLength), reserved);
    } catch (const fuel::Exception&) {
        return link_error::kNoBus;
    }
}

std::int32_t __stdcall EmulatedHost::ConfigureLine(void* self, std::uint32_t channel,
                                                   std::uint32_t timeout, std::uint32_t baudRate) {
    return Of(self).link_.ConfigureLine(channel, timeout, baudRate);
}

void __stdcall EmulatedHost::SetReplyValidator(void* self, std::uint32_t channel, void* routine,
                                               void* object) {
    EmulatedHost& host = Of(self);
    Handler& handler = host.validators_[Line(channel)];
    handler = Handler{routine, object};
    host.link_.SetReplyValidator(channel, ReplyHandler{&EmulatedHost::CallValidator, &handler});
}

void __stdcall EmulatedHost::SetLineInitializer(void* self, std::uint32_t channel, void* routine,
                                                void* object) {
    EmulatedHost& host = Of(self);
    Handler& handler = host.initializers_[Line(channel)];
    handler = Handler{routine, object};
    host.link_.SetLineInitializer(channel,
                                  LineInitializer{&EmulatedHost::CallInitializer, &handler});
}

}  // namespace fuel::test::win32
