#include "platform/win32/HostLinkProxy.h"

#include <type_traits>

#include "driver/Exceptions.h"
#include "platform/win32/Boundary.h"
#include "platform/win32/StructuredGuard.h"

namespace fuel::win32 {

void HostLinkProxy::Bind(const void* driver, void* hostFacingObject, ReplyCheckRoutine replyCheck,
                         LineInitializerRoutine lineInitializer) {
    driver_ = driver;
    hostFacingObject_ = hostFacingObject;
    replyCheck_ = replyCheck;
    lineInitializer_ = lineInitializer;
}

template <typename Result, typename... Arguments>
Result HostLinkProxy::Call(HostLinkEntry entry, Arguments... arguments) {
    using Routine = Result(__stdcall*)(void*, Arguments...);
    void* const host = host_;
    if (host == nullptr) {
        throw ERangeError();
    }
    // The table is read under the guard too: a host object that is not what it claims to be
    // then fails as the host's own access fault instead of taking the process down.
    bool missing = false;
    std::conditional_t<std::is_void_v<Result>, int, Result> result{};
    auto call = [&]() noexcept {
        void* const* const table = *static_cast<void* const* const*>(host);
        void* const address = table != nullptr ? table[EntryNumber(entry)] : nullptr;
        if (address == nullptr) {
            missing = true;
            return;
        }
        const auto routine = reinterpret_cast<Routine>(address);
        if constexpr (std::is_void_v<Result>) {
            routine(host, arguments...);
        } else {
            result = routine(host, arguments...);
        }
    };
    StructuredFault fault;
    if (!CallGuarded(call, fault)) {
        throw HostFault(fault);
    }
    if (missing) {
        throw ERangeError();
    }
    if constexpr (!std::is_void_v<Result>) {
        return result;
    }
}

void HostLinkProxy::CheckOwnHandler(const void* object) const {
    if (object == nullptr || object != driver_ || hostFacingObject_ == nullptr) {
        throw ERangeError();
    }
}

std::int32_t HostLinkProxy::GetChannelError(std::uint32_t channel) {
    return Call<std::int32_t>(HostLinkEntry::GetChannelError, channel);
}

void HostLinkProxy::SetChannelError(std::uint32_t channel, std::int32_t code) {
    Call<void>(HostLinkEntry::SetChannelError, channel, code);
}

void HostLinkProxy::SetChannelState(std::uint32_t channel, std::int32_t state) {
    Call<void>(HostLinkEntry::SetChannelState, channel, state);
}

std::int32_t HostLinkProxy::GetChannelState(std::uint32_t channel) {
    return Call<std::int32_t>(HostLinkEntry::GetChannelState, channel);
}

std::int32_t HostLinkProxy::Transact(std::uint32_t channel, const std::uint8_t* frame,
                                     std::uint8_t frameLength, std::uint8_t* reply,
                                     std::uint8_t replyLength, std::uint32_t reserved) {
    // Byte values travel in whole 32-bit stack slots.
    return Call<std::int32_t>(HostLinkEntry::Transact, channel, frame, std::uint32_t{frameLength},
                              reply, std::uint32_t{replyLength}, reserved);
}

std::int32_t HostLinkProxy::ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                                          std::uint32_t baudRate) {
    return Call<std::int32_t>(HostLinkEntry::ConfigureLine, channel, timeout, baudRate);
}

void HostLinkProxy::SetReplyValidator(std::uint32_t channel, ReplyHandler handler) {
    CheckOwnHandler(handler.object);
    Call<void>(HostLinkEntry::SetReplyValidator, channel, reinterpret_cast<void*>(replyCheck_),
               hostFacingObject_);
}

void HostLinkProxy::SetLineInitializer(std::uint32_t channel, LineInitializer handler) {
    CheckOwnHandler(handler.object);
    Call<void>(HostLinkEntry::SetLineInitializer, channel,
               reinterpret_cast<void*>(lineInitializer_), hostFacingObject_);
}

}  // namespace fuel::win32
