#include "tests/win32/RuntimeObjects.h"

namespace fuel::test::win32 {
namespace {

int trapCalls = 0;

// Called with whatever the caller believed: it never returns, so the stack it was given
// does not matter.
void __stdcall Trap() {
    ++trapCalls;
    RaiseException(kTrapExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

std::uintptr_t TrapAddress() {
    return reinterpret_cast<std::uintptr_t>(&Trap);
}

}  // namespace

RuntimeOffsets OffsetsOf(RuntimeLayout layout) {
    return layout == RuntimeLayout::Older ? RuntimeOffsets{-76, -44, -36}
                                          : RuntimeOffsets{-88, -56, -48};
}

RuntimeClass::RuntimeClass(RuntimeLayout layout, std::string_view name,
                           const RuntimeClass* parent) {
    words_.fill(TrapAddress());
    const RuntimeOffsets offsets = OffsetsOf(layout);
    // The data words of the layout besides the three the driver reads: interface, automation,
    // initialisation, type, field, method and dynamic tables, instance size. Zero, as in a
    // class that has none of them; the routines below them stay traps.
    const std::ptrdiff_t firstData = offsets.self + 4;
    for (std::ptrdiff_t offset = firstData; offset < offsets.parent + 4; offset += 4) {
        SetWord(offset, 0);
    }
    name_.push_back(static_cast<char>(name.size()));
    name_.append(name);
    SetWord(offsets.self, reinterpret_cast<std::uintptr_t>(Table()));
    SetWord(offsets.name, reinterpret_cast<std::uintptr_t>(name_.data()));
    SetParent(parent);
    SetWord(offsets.parent, parent != nullptr ? reinterpret_cast<std::uintptr_t>(&parentCell_) : 0);
}

void RuntimeClass::SetWord(std::ptrdiff_t offset, std::uintptr_t value) {
    words_.at(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(kBelow) + offset / 4)) = value;
}

void RuntimeClass::SetParent(const RuntimeClass* parent) {
    parentCell_ = parent != nullptr ? reinterpret_cast<std::uintptr_t>(parent->Table()) : 0;
}

RuntimeHierarchy::RuntimeHierarchy(RuntimeLayout layout, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const RuntimeClass* parent = classes_.empty() ? nullptr : classes_.back().get();
        classes_.push_back(std::make_unique<RuntimeClass>(layout, name, parent));
    }
}

RuntimeObject::RuntimeObject(const RuntimeClass& type) : table(type.Table()) {
    fields.fill(TrapAddress());
}

int TrapCalls() {
    return trapCalls;
}

void ResetTraps() {
    trapCalls = 0;
}

const void* TrapRoutine() {
    return reinterpret_cast<const void*>(&Trap);
}

}  // namespace fuel::test::win32
