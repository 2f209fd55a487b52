// Looking at memory that somebody else handed over, without trusting it: a pointer from the
// host may point anywhere, and reading it blindly would end the host's process. Every range
// is checked with the system's view of the address space before a byte of it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace fuel::win32 {

// Whether all of [address, address + size) is committed memory that the process may read
// (no access, guard pages and reserved or free ranges do not count; nor does a range that
// wraps around the end of the address space).
bool IsReadable(std::uintptr_t address, std::size_t size) noexcept;

// Whether address lies in committed memory that the process may execute.
bool IsExecutable(std::uintptr_t address) noexcept;

// The 32-bit word at address, or nothing when it is not readable.
std::optional<std::uint32_t> ReadWord(std::uintptr_t address) noexcept;

// address + offset, or nothing when that leaves the address space.
std::optional<std::uintptr_t> Offset(std::uintptr_t address, std::ptrdiff_t offset) noexcept;

}  // namespace fuel::win32
