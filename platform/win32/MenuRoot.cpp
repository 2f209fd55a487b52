#include "platform/win32/MenuRoot.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/win32/ProcessMemory.h"
#include "platform/win32/StructuredGuard.h"

namespace fuel::win32 {
namespace {

struct ClassTableLayout {
    std::ptrdiff_t self;
    std::ptrdiff_t name;
    std::ptrdiff_t parent;
};

constexpr std::array<ClassTableLayout, 2> kLayouts{{
    {-88, -56, -48},  // newer versions of the runtime
    {-76, -44, -36},  // older ones
}};

constexpr std::string_view kMenuItemClass = "TMenuItem";
constexpr int kBridgeEntries = 8;

std::optional<std::uintptr_t> WordAt(std::uintptr_t base, std::ptrdiff_t offset) {
    const auto address = Offset(base, offset);
    if (!address) {
        return std::nullopt;
    }
    const auto word = ReadWord(*address);
    return word ? std::optional<std::uintptr_t>(*word) : std::nullopt;
}

bool PointsToItself(std::uintptr_t table, const ClassTableLayout& layout) {
    const auto self = WordAt(table, layout.self);
    return self && *self == table;
}

enum class NameMatch { Yes, No, Unreadable };

NameMatch ClassNameIs(std::uintptr_t table, const ClassTableLayout& layout,
                      std::string_view wanted) {
    const auto name = WordAt(table, layout.name);
    if (!name || !IsReadable(*name, 1)) {
        return NameMatch::Unreadable;
    }
    const auto length = *reinterpret_cast<const unsigned char*>(*name);
    if (!IsReadable(*name, std::size_t{1} + length)) {
        return NameMatch::Unreadable;
    }
    const std::string_view text(reinterpret_cast<const char*>(*name) + 1, length);
    return text == wanted ? NameMatch::Yes : NameMatch::No;
}

// Walks the chain of classes from table up; only the runtime's own menu item class counts.
MenuRootKind ClassifyRuntimeObject(std::uintptr_t table, const ClassTableLayout& layout) {
    for (int depth = 0; depth < kMaxClassChain; ++depth) {
        if (!PointsToItself(table, layout)) {
            return MenuRootKind::Unrecognised;
        }
        switch (ClassNameIs(table, layout, kMenuItemClass)) {
            case NameMatch::Yes:
                return MenuRootKind::RuntimeMenuItem;
            case NameMatch::Unreadable:
                return MenuRootKind::Unrecognised;
            case NameMatch::No:
                break;
        }
        const auto parentCell = WordAt(table, layout.parent);
        if (!parentCell) {
            return MenuRootKind::Unrecognised;
        }
        if (*parentCell == 0) {
            return MenuRootKind::Unrecognised;  // the root class: a runtime object, no menu item
        }
        const auto parent = ReadWord(*parentCell);
        if (!parent || *parent == 0) {
            return MenuRootKind::Unrecognised;
        }
        table = *parent;
    }
    return MenuRootKind::Unrecognised;  // longer than any real hierarchy, or a loop
}

MenuRootKind Classify(std::uintptr_t root) {
    const auto table = ReadWord(root);
    if (!table) {
        return MenuRootKind::Unrecognised;
    }
    for (const ClassTableLayout& layout : kLayouts) {
        if (PointsToItself(*table, layout)) {
            return ClassifyRuntimeObject(*table, layout);
        }
    }
    return HasCallableTable(reinterpret_cast<const void*>(root), kBridgeEntries)
               ? MenuRootKind::BridgeItem
               : MenuRootKind::Unrecognised;
}

}  // namespace

bool HasCallableTable(const void* item, int entries) noexcept {
    const auto table = ReadWord(reinterpret_cast<std::uintptr_t>(item));
    if (!table || entries < 0 ||
        !IsReadable(*table, static_cast<std::size_t>(entries) * sizeof(std::uint32_t))) {
        return false;
    }
    for (int entry = 0; entry < entries; ++entry) {
        const auto routine = ReadWord(*table + static_cast<std::uintptr_t>(entry) * 4);
        if (!routine || !IsExecutable(*routine)) {
            return false;
        }
    }
    return true;
}

MenuRootKind ClassifyMenuRoot(const void* root) noexcept {
    // The checks leave nothing unread that could fault; the guard is for memory that another
    // thread of the host frees between a check and the read.
    MenuRootKind kind = MenuRootKind::Unrecognised;
    auto classify = [&]() noexcept { kind = Classify(reinterpret_cast<std::uintptr_t>(root)); };
    StructuredFault fault;
    if (!CallGuarded(classify, fault)) {
        return MenuRootKind::Unrecognised;
    }
    return kind;
}

}  // namespace fuel::win32
