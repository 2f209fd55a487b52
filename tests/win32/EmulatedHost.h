// A host's line object (an object whose first word points to the host's table of stdcall
// routines) that forwards every call to the in-process emulator link, as a host's own line
// forwards to its serial port: the driver in the DLL then talks to an emulated controller,
// and the reply check it registers judges the emulator's replies.
#pragma once

#include <array>
#include <cstdint>

#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"

namespace fuel::test::win32 {

class EmulatedHost {
  public:
    explicit EmulatedHost(emulator::Emulator& bus, std::uint32_t channel = 1);
    EmulatedHost(const EmulatedHost&) = delete;
    EmulatedHost& operator=(const EmulatedHost&) = delete;

    void* Object() { return &object_; }
    EmulatorLink& Link() { return link_; }

    // A stdcall handler the driver registered: (routine, object).
    struct Handler {
        void* routine = nullptr;
        void* object = nullptr;
    };

  private:
    struct HostObject {
        const void* const* table;
        EmulatedHost* host;
    };
    static EmulatedHost& Of(void* self) { return *static_cast<HostObject*>(self)->host; }
    static bool CallValidator(void* handler, std::uint32_t channel, const std::uint8_t* reply,
                              std::int32_t high, const std::uint8_t& received,
                              const std::uint8_t& expected);
    static std::int32_t CallInitializer(void* handler, std::uint32_t channel);

  public:
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
    HostObject object_;
    EmulatorLink link_;
    std::array<Handler, 33> validators_{};
    std::array<Handler, 33> initializers_{};
};

}  // namespace fuel::test::win32
