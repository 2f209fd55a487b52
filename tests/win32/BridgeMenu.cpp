#include "tests/win32/BridgeMenu.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "tests/win32/TestHost.h"

namespace fuel::test::win32 {
namespace {

BridgeMenu* current = nullptr;

BridgeItem& Of(void* item) {
    return *static_cast<BridgeItem*>(item);
}

std::int32_t __stdcall GetCount(void* item) {
    return static_cast<std::int32_t>(Of(item).children.size());
}
void* __stdcall GetItem(void* item, std::int32_t index) {
    auto& children = Of(item).children;
    return index >= 0 && static_cast<std::size_t>(index) < children.size()
               ? children[static_cast<std::size_t>(index)]
               : nullptr;
}
std::int32_t __stdcall GetCaption(void* item, char* buffer, std::int32_t size) {
    if (Of(item).raiseInGetCaption) {
        RaiseException(kHostExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    const std::string& caption = Of(item).caption;
    if (size > 0) {
        const std::size_t n = std::min(caption.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, caption.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<std::int32_t>(caption.size());
}
void __stdcall SetCaption(void* item, const char* text) {
    Of(item).caption = text;
    ++Of(item).setCaptionCalls;
}
void __stdcall SetHint(void* item, const char* text) {
    Of(item).hint = text;
}
void __stdcall SetHelpContext(void* item, std::int32_t context) {
    Of(item).helpContext = context;
}
void __stdcall SetShortCut(void* item, std::int32_t shortcut) {
    Of(item).shortcut = shortcut;
}
void __stdcall SetOnClick(void* item, void* routine, void* object) {
    Of(item).clickRoutine = routine;
    Of(item).clickObject = object;
}

template <typename Routine>
const void* Entry(Routine routine) {
    return reinterpret_cast<const void*>(routine);
}

const void* const kTable[8] = {
    Entry(&GetCount), Entry(&GetItem),        Entry(&GetCaption),  Entry(&SetCaption),
    Entry(&SetHint),  Entry(&SetHelpContext), Entry(&SetShortCut), Entry(&SetOnClick),
};

}  // namespace

BridgeItem::BridgeItem() : table(kTable) {}
BridgeItem::BridgeItem(std::string captionCp1251)
    : table(kTable), caption(std::move(captionCp1251)) {}

BridgeItem* BridgeItem::Add(std::string captionCp1251) {
    auto* item = new BridgeItem(std::move(captionCp1251));
    children.push_back(item);
    return item;
}

void* __stdcall CreateItem(BridgeItem* parent, std::int32_t position) {
    BridgeMenu& menu = *current;
    if (menu.factoryGivesNull) {
        menu.calls.push_back({parent, position, nullptr});
        return nullptr;
    }
    auto made = std::make_unique<BridgeItem>();
    BridgeItem* item = made.get();
    menu.made_.push_back(std::move(made));
    parent->children.push_back(item);
    menu.calls.push_back({parent, position, item});
    return item;
}

BridgeMenu::BridgeMenu() {
    current = this;
}

BridgeMenu::~BridgeMenu() {
    // Items made by Add belong to the tree; the factory's are in made_.
    std::vector<BridgeItem*> pending{&root};
    while (!pending.empty()) {
        BridgeItem* item = pending.back();
        pending.pop_back();
        for (BridgeItem* child : item->children) {
            const bool fromFactory = std::any_of(
                made_.begin(), made_.end(), [&](const auto& made) { return made.get() == child; });
            if (child != nullptr && !fromFactory) {
                pending.push_back(child);
            }
        }
        if (item != &root) {
            delete item;
        }
    }
    if (current == this) {
        current = nullptr;
    }
}

void* BridgeMenu::Factory() {
    return reinterpret_cast<void*>(&CreateItem);
}

}  // namespace fuel::test::win32
