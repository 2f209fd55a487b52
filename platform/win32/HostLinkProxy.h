// The host's line object seen as a fuel::HostLink: every call goes through the host's own
// table of stdcall routines, under the structured-exception guard. What a host routine
// raises comes back as a HostFault (a C++ exception), so that Exchange catches it like any
// other failure of Transact or GetChannelState, and so that out of any other host routine
// it reaches the host again, at the boundary, with its original code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/HostLink.h"

namespace fuel::win32 {

class HostLinkProxy final : public fuel::HostLink {
  public:
    // The handler routines as the host calls them: (handler object, arguments...).
    using ReplyCheckRoutine = std::uint8_t(__stdcall*)(void* object, std::uint32_t channel,
                                                       const std::uint8_t* reply, std::int32_t high,
                                                       const std::uint8_t* receivedCount,
                                                       const std::uint8_t* expectedCount);
    using LineInitializerRoutine = std::int32_t(__stdcall*)(void* object, std::uint32_t channel);

    // host: the host's object, whose first word points to its table.
    explicit HostLinkProxy(void* host) : host_(host) {}

    // The driver that this link serves, and what the host is to hold in its place: its
    // object and the stdcall entries of its two handlers.
    void Bind(const void* driver, void* hostFacingObject, ReplyCheckRoutine replyCheck,
              LineInitializerRoutine lineInitializer);

    std::int32_t GetChannelError(std::uint32_t channel) override;
    void SetChannelError(std::uint32_t channel, std::int32_t code) override;
    void SetChannelState(std::uint32_t channel, std::int32_t state) override;
    std::int32_t GetChannelState(std::uint32_t channel) override;
    std::int32_t Transact(std::uint32_t channel, const std::uint8_t* frame,
                          std::uint8_t frameLength, std::uint8_t* reply, std::uint8_t replyLength,
                          std::uint32_t reserved) override;
    std::int32_t ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                               std::uint32_t baudRate) override;
    void SetReplyValidator(std::uint32_t channel, ReplyHandler handler) override;
    void SetLineInitializer(std::uint32_t channel, LineInitializer handler) override;

  private:
    template <typename Result, typename... Arguments>
    Result Call(HostLinkEntry entry, Arguments... arguments);

    // The handler object must be this link's own driver: the host can only be handed
    // routines that it can call back with its own conventions.
    void CheckOwnHandler(const void* object) const;

    void* host_;
    const void* driver_ = nullptr;
    void* hostFacingObject_ = nullptr;
    ReplyCheckRoutine replyCheck_ = nullptr;
    LineInitializerRoutine lineInitializer_ = nullptr;
};

}  // namespace fuel::win32
