// The host's side of the menu bridge, as a host writes it over its own menu objects: items
// whose first word points to a table of stdcall routines, and a stdcall factory that makes a
// new item under a parent. Everything the driver does to them is recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fuel::test::win32 {

struct BridgeItem {
    BridgeItem();
    explicit BridgeItem(std::string captionCp1251);

    const void* const* table;  // first word, as the driver reads it
    std::string caption;       // Windows-1251
    std::string hint;
    std::int32_t helpContext = -1;
    std::int32_t shortcut = -1;
    void* clickRoutine = nullptr;
    void* clickObject = nullptr;
    int setCaptionCalls = 0;
    bool raiseInGetCaption = false;     // the host's own exception, as a broken host item raises
    std::vector<BridgeItem*> children;  // a null entry stands for a broken host item

    BridgeItem* Add(std::string captionCp1251);
};

// Items the factory made, with the parent and position it was asked for.
struct FactoryCall {
    BridgeItem* parent;
    std::int32_t position;
    BridgeItem* created;
};

class BridgeMenu {
  public:
    BridgeMenu();
    ~BridgeMenu();
    BridgeItem root;
    // The factory routine to hand to AddMenuItems; it records into the menu made last.
    static void* Factory();
    std::vector<FactoryCall> calls;
    bool factoryGivesNull = false;

  private:
    std::vector<std::unique_ptr<BridgeItem>> made_;
    friend void* __stdcall CreateItem(BridgeItem* parent, std::int32_t position);
};

}  // namespace fuel::test::win32
