// The service tool's entry in a host's native menu, for a host whose menus are objects of its
// own user-interface runtime, which the driver cannot call. The entry goes straight into the
// window's menu bar, into its popup with the given caption, and the window's procedure is
// subclassed to handle the entry's command; every other message passes on unchanged.
//
// Hosts build their menus when they like: the main window may not exist yet when they ask
// for the entry, and a host may rebuild a popup (or the whole bar) later. So the calling
// thread is watched (a hook on its window procedures' returns): the entry is added as soon
// as a top-level window of that thread shows such a popup (window created, menu bar set or
// redrawn, window shown or activated) and at the latest when a menu of the thread is about
// to open; after a rebuild it is put back the same way. There is never more than one entry:
// a new place takes it from the old one.
#pragma once

#include <windows.h>

#include <string_view>

namespace fuel::win32 {

// The command the entry carries: far above the host runtime's own command numbers (which
// count up from 0) and below the system menu's (0xF000 and up). Should the host's menu bar
// already use it, the next lower free number is taken.
inline constexpr UINT kPreferredEntryCommand = 0xEFF0;

// Called on the window's thread when the entry is chosen, with that window.
using EntryChosen = void (*)(HWND window);

// Starts keeping the entry for the calling thread (once per process; later calls change
// nothing). popupCaption and itemCaption are UTF-8.
void KeepNativeMenuEntry(std::string_view popupCaption, std::string_view itemCaption,
                         EntryChosen chosen);

// Stops watching, takes the entry out of the menu and the procedure out of the window, so
// that nothing of the library is called any more; for the library's unloading.
void StopNativeMenuEntry() noexcept;

}  // namespace fuel::win32
