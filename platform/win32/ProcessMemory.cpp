#include "platform/win32/ProcessMemory.h"

#include <windows.h>

#include <cstring>
#include <limits>

namespace fuel::win32 {
namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kExecutable =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// The region that holds address, when it is committed and its protection has one of wanted
// (and is no guard page: touching one is a fault, if a handled one).
std::optional<MEMORY_BASIC_INFORMATION> Region(std::uintptr_t address, DWORD wanted) noexcept {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) !=
        sizeof region) {
        return std::nullopt;
    }
    if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
        (region.Protect & wanted) == 0) {
        return std::nullopt;
    }
    return region;
}

}  // namespace

std::optional<std::uintptr_t> Offset(std::uintptr_t address, std::ptrdiff_t offset) noexcept {
    if (offset < 0) {
        const auto back = static_cast<std::uintptr_t>(-offset);
        return address >= back ? std::optional(address - back) : std::nullopt;
    }
    const auto ahead = static_cast<std::uintptr_t>(offset);
    return address <= std::numeric_limits<std::uintptr_t>::max() - ahead
               ? std::optional(address + ahead)
               : std::nullopt;
}

bool IsReadable(std::uintptr_t address, std::size_t size) noexcept {
    if (address == 0) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    const auto last = Offset(address, static_cast<std::ptrdiff_t>(size - 1));
    if (!last) {
        return false;
    }
    // A range may span several regions, each with protection of its own.
    std::uintptr_t at = address;
    while (true) {
        const auto region = Region(at, kReadable);
        if (!region) {
            return false;
        }
        const auto base = reinterpret_cast<std::uintptr_t>(region->BaseAddress);
        const std::uintptr_t end = base + region->RegionSize;  // one past the region
        if (end == 0 || end > *last) {                         // 0: the region ends the space
            return true;
        }
        at = end;
    }
}

bool IsExecutable(std::uintptr_t address) noexcept {
    return address != 0 && Region(address, kExecutable).has_value();
}

std::optional<std::uint32_t> ReadWord(std::uintptr_t address) noexcept {
    if (!IsReadable(address, sizeof(std::uint32_t))) {
        return std::nullopt;
    }
    std::uint32_t word = 0;
    std::memcpy(&word, reinterpret_cast<const void*>(address), sizeof word);
    return word;
}

}  // namespace fuel::win32
