// The service tool's entry in the host's menu: "Программирование параметров (Варно)" under the
// host's "&ТРК" menu, added at most once per process. The first call after the library was
// loaded looks for the menu; whether it finds it or not, later calls add nothing.
#pragma once

namespace fuel::win32 {

// rootItem: the host's main-menu root; itemFactory: its factory of new items (both as the
// host passes them to the driver's AddMenuItems). ERangeError for a null one, or for a null
// item that the host hands back on the way.
void AddProgrammingMenuItem(void* rootItem, void* itemFactory);

// Whether the next call still looks for the menu.
bool MenuPending();

}  // namespace fuel::win32
