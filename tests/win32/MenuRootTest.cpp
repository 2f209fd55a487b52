// Telling the host's menu roots apart from memory alone, in-process: objects of the host's
// runtime in both layouts, bridge items, and memory that is neither, some of it unreadable.
#include "platform/win32/MenuRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "platform/win32/ProcessMemory.h"
#include "tests/win32/RuntimeObjects.h"

namespace fuel::test::win32 {
namespace {

using fuel::win32::ClassifyMenuRoot;
using fuel::win32::IsReadable;
using fuel::win32::kMaxClassChain;
using fuel::win32::MenuRootKind;
using Layout = RuntimeLayout;

constexpr std::size_t kPage = 4096;

void __stdcall Routine() {}
const void* const kBridgeTable[8] = {
    reinterpret_cast<const void*>(&Routine), reinterpret_cast<const void*>(&Routine),
    reinterpret_cast<const void*>(&Routine), reinterpret_cast<const void*>(&Routine),
    reinterpret_cast<const void*>(&Routine), reinterpret_cast<const void*>(&Routine),
    reinterpret_cast<const void*>(&Routine), reinterpret_cast<const void*>(&Routine)};

std::uintptr_t Address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// What a case builds, alive until it is judged: classes, objects, and three pages of which
// the middle one has no access, for pointers that must not be followed.
struct Scratch {
    Scratch() {
        pages = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, 3 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(NoAccess(), kPage, PAGE_NOACCESS, &old);
    }
    ~Scratch() { VirtualFree(pages, 0, MEM_RELEASE); }
    std::uint8_t* NoAccess() { return pages + kPage; }
    std::uint8_t* Last() { return pages + 2 * kPage; }

    RuntimeHierarchy& Classes(Layout layout, std::vector<std::string> names) {
        return hierarchies.emplace_back(layout, names);
    }
    const void* Object(Layout layout, std::vector<std::string> names) {
        return &objects.emplace_back(Classes(layout, std::move(names)).Leaf());
    }
    const void* Instance(const RuntimeClass& type) { return &objects.emplace_back(type); }
    // An object whose first word points to table.
    const void* WithTable(const void* table) {
        word = Address(table);
        return &word;
    }

    std::uint8_t* pages;
    std::deque<RuntimeHierarchy> hierarchies;
    std::deque<RuntimeObject> objects;
    std::uintptr_t word = 0;
};

// n classes between the object's class and TMenuItem.
std::vector<std::string> MenuItemAbove(int n) {
    std::vector<std::string> names{"TObject", "TMenuItem"};
    for (int i = 0; i < n; ++i) {
        names.push_back("TLevel" + std::to_string(i));
    }
    return names;
}

struct RootCase {
    const char* name;
    const void* (*make)(Scratch&);
    MenuRootKind expected;
};

constexpr auto kMenuItem = MenuRootKind::RuntimeMenuItem;
constexpr auto kBridge = MenuRootKind::BridgeItem;
constexpr auto kNeither = MenuRootKind::Unrecognised;

const RootCase kRootCases[] = {
    {"OlderLayout",
     [](Scratch& s) {
         return s.Object(Layout::Older, {"TObject", "TComponent", "TMenuItem", "THostItem"});
     },
     kMenuItem},
    {"NewerLayout",
     [](Scratch& s) {
         return s.Object(Layout::Newer, {"TObject", "TMenuItem"});
     },
     kMenuItem},
    {"MenuItemAtTheBound",
     [](Scratch& s) { return s.Object(Layout::Older, MenuItemAbove(kMaxClassChain - 1)); },
     kMenuItem},
    {"MenuItemBeyondTheBound",
     [](Scratch& s) { return s.Object(Layout::Older, MenuItemAbove(kMaxClassChain)); }, kNeither},
    {"OtherRuntimeClasses",
     [](Scratch& s) {
         return s.Object(Layout::Newer, {"TObject", "tmenuitem", "TMenuItems", "TButton"});
     },
     kNeither},
    {"ClassItsOwnParent",
     [](Scratch& s) {
         RuntimeClass& loop = s.Classes(Layout::Older, {"TObject", "TLoop"}).Leaf();
         loop.SetParent(&loop);
         return s.Instance(loop);
     },
     kNeither},
    {"ParentCellUnreadable",
     [](Scratch& s) {
         RuntimeClass& item = s.Classes(Layout::Newer, {"TMenuItem", "THostItem"}).Leaf();
         item.SetWord(OffsetsOf(Layout::Newer).parent, Address(s.NoAccess()));
         return s.Instance(item);
     },
     kNeither},
    {"NameRunningIntoUnreadableMemory",
     [](Scratch& s) {
         std::uint8_t* name = s.NoAccess() - 4;  // "TMenuItem"'s length, three of its letters
         std::memcpy(name, "\x09TMe", 4);
         RuntimeClass& item = s.Classes(Layout::Older, {"TMenuItem"}).Leaf();
         item.SetWord(OffsetsOf(Layout::Older).name, Address(name));
         return s.Instance(item);
     },
     kNeither},
    {"BridgeTable", [](Scratch& s) { return s.WithTable(kBridgeTable); }, kBridge},
    {"BridgeTableRightAfterUnreadableMemory",
     [](Scratch& s) {
         std::memcpy(s.Last(), kBridgeTable, sizeof kBridgeTable);
         return s.WithTable(s.Last());
     },
     kBridge},
    {"TableWithAnEntryIntoData",
     [](Scratch& s) {
         std::memcpy(s.pages, kBridgeTable, sizeof kBridgeTable);
         reinterpret_cast<std::uintptr_t*>(s.pages)[5] = Address(s.pages);
         return s.WithTable(s.pages);
     },
     kNeither},
    {"RootUnreadable", [](Scratch& s) -> const void* { return s.NoAccess(); }, kNeither},
    {"TableInAGuardPage",
     [](Scratch& s) {
         DWORD old = 0;
         VirtualProtect(s.Last(), kPage, PAGE_READWRITE | PAGE_GUARD, &old);
         return s.WithTable(s.Last() + 256);
     },
     kNeither},
};

class MenuRoot : public ::testing::TestWithParam<RootCase> {};

TEST_P(MenuRoot, IsToldApartWithoutCallingOrFaulting) {
    ResetTraps();
    Scratch scratch;
    EXPECT_EQ(ClassifyMenuRoot(GetParam().make(scratch)), GetParam().expected);
    EXPECT_EQ(TrapCalls(), 0);
    MEMORY_BASIC_INFORMATION last{};
    VirtualQuery(scratch.Last(), &last, sizeof last);
    if (std::string_view(GetParam().name) == "TableInAGuardPage") {
        EXPECT_NE(last.Protect & PAGE_GUARD, 0u) << "the guard page was touched";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MenuRoot, ::testing::ValuesIn(kRootCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessMemory, ARangeIsReadableOnlyWhenEveryPartOfItIs) {
    Scratch scratch;
    DWORD old = 0;
    VirtualProtect(scratch.pages, kPage, PAGE_READONLY, &old);
    EXPECT_TRUE(IsReadable(Address(scratch.pages), kPage));
    EXPECT_FALSE(IsReadable(Address(scratch.pages), kPage + 1));
    EXPECT_FALSE(IsReadable(Address(scratch.Last()) - 1, 2));
    VirtualProtect(scratch.NoAccess(), kPage, PAGE_EXECUTE_READ, &old);
    EXPECT_TRUE(IsReadable(Address(scratch.pages), 3 * kPage));  // three regions in a row
    EXPECT_FALSE(IsReadable(0xFFFFFFF0u, 0x20));                 // wraps around
}

}  // namespace
}  // namespace fuel::test::win32
