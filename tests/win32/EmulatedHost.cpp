#include "tests/win32/EmulatedHost.h"

#include "driver/Exceptions.h"
#include "tests/win32/HostTable.h"

namespace fuel::test::win32 {
namespace {

std::size_t Line(std::uint32_t channel) {
    return channel >= 1 && channel <= 32 ? channel : 0;
}

}  // namespace

EmulatedHost::EmulatedHost(emulator::Emulator& bus, std::uint32_t channel)
    : object_{HostTable<EmulatedHost>(), this}, link_(bus, channel) {}

bool EmulatedHost::CallValidator(void* handler, std::uint32_t channel, const std::uint8_t* reply,
                                 std::int32_t high, const std::uint8_t& received,
                                 const std::uint8_t& expected) {
    const auto& registered = *static_cast<const Handler*>(handler);
    const auto routine = reinterpret_cast<ReplyCheckRoutine>(registered.routine);
    return routine(registered.object, channel, reply, high, &received, &expected) != 0;
}

std::int32_t EmulatedHost::CallInitializer(void* handler, std::uint32_t channel) {
    const auto& registered = *static_cast<const Handler*>(handler);
    return reinterpret_cast<LineInitializerRoutine>(registered.routine)(registered.object, channel);
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
        return line_code::kNoPort;
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
