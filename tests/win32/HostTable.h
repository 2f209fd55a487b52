// The routine table of a host's line object, as the driver in the DLL reads it: entries 1..4,
// 16, 17, 19 and 21 hold the line's stdcall routines. Entries the driver must never call stay
// empty, so a call through one faults at once.
#pragma once

#include <cstdint>

namespace fuel::test::win32 {

// The driver's reply check and line initializer, as a host calls the routines it registered
// (written from the host contract, not taken from the DLL's own code, so that they test it).
using ReplyCheckRoutine = std::uint8_t(__stdcall*)(void* object, std::uint32_t channel,
                                                   const std::uint8_t* reply, std::int32_t high,
                                                   const std::uint8_t* receivedCount,
                                                   const std::uint8_t* expectedCount);
using LineInitializerRoutine = std::int32_t(__stdcall*)(void* object, std::uint32_t channel);

template <typename Routine>
const void* TableEntry(Routine routine) {
    return reinterpret_cast<const void*>(routine);
}

// One table per host class, built from its static routines.
template <typename Host>
const void* const* HostTable() {
    static const void* const table[22] = {
        nullptr,
        TableEntry(&Host::GetChannelError),
        TableEntry(&Host::SetChannelError),
        TableEntry(&Host::SetChannelState),
        TableEntry(&Host::GetChannelState),
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
        TableEntry(&Host::Transact),
        TableEntry(&Host::ConfigureLine),
        nullptr,
        TableEntry(&Host::SetReplyValidator),
        nullptr,
        TableEntry(&Host::SetLineInitializer),
    };
    return table;
}

}  // namespace fuel::test::win32
