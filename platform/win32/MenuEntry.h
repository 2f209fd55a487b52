// The service tool's entry in the host's menu: "Программирование параметров (Варно)" under the
// host's "&ТРК" menu, added at most once per process. The first call after the library was
// loaded decides; later calls add nothing.
//
// The root tells the way (MenuRoot.h): a bridge item is searched through the bridge and the
// entry made by the host's factory, once, now or never; a menu item of the host's own
// runtime is left uncalled and the entry goes into the native menu bar of the calling
// thread's window instead, as soon as there is one (NativeMenuEntry.h); any other root is
// left alone, and nothing is raised.
#pragma once

namespace fuel::win32 {

// rootItem: the host's main-menu root; itemFactory: its factory of new items (both as the
// host passes them to the driver's AddMenuItems). ERangeError for a null one, or for a null
// item that the host hands back on the way through the bridge.
void AddProgrammingMenuItem(void* rootItem, void* itemFactory);

// Whether the next call still looks for the menu.
bool MenuPending();

}  // namespace fuel::win32
