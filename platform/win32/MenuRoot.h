// What the host handed to AddMenuItems as its menu's root, told from memory alone, before
// anything of it is called.
//
// A host built for our menu bridge passes a bridge item: its first word points to a table
// of the bridge's routines. A host built for the original library passes a menu item of its
// own user-interface runtime instead, whose first word points to the runtime's class table;
// calling that table as a bridge's would end in a crash inside the host. The runtime's class
// tables describe themselves at fixed negative offsets (in two layouts: older and newer
// versions of the runtime):
//
//                          older   newer
//   the table itself        -76     -88
//   class name (address)    -44     -56   length-prefixed string
//   parent (address)        -36     -48   of a cell holding the parent's table, 0 at the root
//
// The rule, in this order:
//   1. The root's first word is not readable memory: Unrecognised.
//   2. Its table points to itself at -76 or -88: a runtime object. It is a RuntimeMenuItem
//      when a class named exactly "TMenuItem" is on its chain of classes (itself included,
//      at most kMaxClassChain classes, every class checked as the first); any other runtime
//      object, a chain that leaves readable memory, a class without its self-pointer or
//      name, or a chain longer than the bound is Unrecognised.
//   3. Otherwise it is a BridgeItem when all eight entries of its table are readable and
//      each points into executable memory, so that calling any of them at least runs code;
//      anything else is Unrecognised.
// Every byte is read only after the system confirmed that it is committed and readable.
#pragma once

namespace fuel::win32 {

enum class MenuRootKind { Unrecognised, RuntimeMenuItem, BridgeItem };

inline constexpr int kMaxClassChain = 32;

MenuRootKind ClassifyMenuRoot(const void* root) noexcept;

// Whether an item's table has `entries` readable words, each the address of executable code.
bool HasCallableTable(const void* item, int entries) noexcept;

}  // namespace fuel::win32
