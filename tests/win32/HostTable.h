// The routine table of a host's line object, as the driver in the DLL reads it: entries 1..4,
// 16, 17, 19 and 21 hold the line's stdcall routines. Entries the driver must never call stay
// empty, so a call through one faults at once.
#pragma once

#include <array>
#include <cstdint>

#include "driver/HostLink.h"

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

// One table per host class, built from its static routines, each in its entry.
template <typename Host>
const void* const* HostTable() {
    static const auto table = [] {
        std::array<const void*, kHostLinkTableSize> entries{};
        const auto put = [&](HostLinkEntry entry, const void* routine) {
            entries[EntryNumber(entry)] = routine;
        };
        put(HostLinkEntry::GetChannelError, TableEntry(&Host::GetChannelError));
        put(HostLinkEntry::SetChannelError, TableEntry(&Host::SetChannelError));
        put(HostLinkEntry::SetChannelState, TableEntry(&Host::SetChannelState));
        put(HostLinkEntry::GetChannelState, TableEntry(&Host::GetChannelState));
        put(HostLinkEntry::Transact, TableEntry(&Host::Transact));
        put(HostLinkEntry::ConfigureLine, TableEntry(&Host::ConfigureLine));
        put(HostLinkEntry::SetReplyValidator, TableEntry(&Host::SetReplyValidator));
        put(HostLinkEntry::SetLineInitializer, TableEntry(&Host::SetLineInitializer));
        return entries;
    }();
    return table.data();
}

}  // namespace fuel::test::win32
