// Objects of the host's own user-interface runtime as the driver meets them in memory: the
// object's first word points to its class table; below the table the runtime keeps the
// table's own address, the address of the class name (a length-prefixed string) and the
// address of a cell holding the parent's table, at offsets that depend on the runtime's
// version. Every routine slot of a table (the methods above it, the routines among the words
// below it) and the factory are traps: a call counts and raises, so a test sees it and the
// process survives it.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::test::win32 {

enum class RuntimeLayout { Older, Newer };

// Where a layout keeps what the driver reads, relative to the table.
struct RuntimeOffsets {
    std::ptrdiff_t self, name, parent;
};
RuntimeOffsets OffsetsOf(RuntimeLayout layout);

class RuntimeClass {
  public:
    RuntimeClass(RuntimeLayout layout, std::string_view name, const RuntimeClass* parent);
    RuntimeClass(const RuntimeClass&) = delete;
    RuntimeClass& operator=(const RuntimeClass&) = delete;

    const void* Table() const { return &words_[kBelow]; }
    // Overwrites the word at offset from the table, to break the class on purpose.
    void SetWord(std::ptrdiff_t offset, std::uintptr_t value);
    void SetParent(const RuntimeClass* parent);  // the cell now holds parent's table

  private:
    static constexpr std::size_t kBelow = 22;  // 88 bytes: the larger layout
    static constexpr std::size_t kAbove = 16;
    std::array<std::uintptr_t, kBelow + kAbove> words_{};
    std::string name_;  // the length byte first
    std::uintptr_t parentCell_ = 0;
};

// A chain of classes, the root class first: {"TObject", "TComponent", "TMenuItem"} makes
// TMenuItem a descendant of TComponent, itself one of TObject.
class RuntimeHierarchy {
  public:
    RuntimeHierarchy(RuntimeLayout layout, const std::vector<std::string>& names);
    RuntimeClass& Leaf() { return *classes_.back(); }

  private:
    std::vector<std::unique_ptr<RuntimeClass>> classes_;
};

// An instance: the class table first, then fields.
struct RuntimeObject {
    explicit RuntimeObject(const RuntimeClass& type);
    const void* table;
    std::array<std::uintptr_t, 8> fields;
};

inline constexpr DWORD kTrapExceptionCode = 0xE054524C;

// Calls of any trap since the last reset.
int TrapCalls();
void ResetTraps();
// A routine address that is a trap, e.g. as the menu-item factory.
const void* TrapRoutine();

}  // namespace fuel::test::win32
