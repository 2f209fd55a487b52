#include "platform/win32/MenuBridge.h"

#include <cstring>
#include <type_traits>

#include "driver/Exceptions.h"
#include "platform/win32/Boundary.h"
#include "platform/win32/ProcessMemory.h"
#include "platform/win32/StructuredGuard.h"

namespace fuel::win32 {
namespace {

// Runs call under the guard; a structured exception out of the host goes on as a HostFault.
template <typename F>
void Guarded(F& call) {
    StructuredFault fault;
    if (!CallGuarded(call, fault)) {
        throw HostFault(fault);
    }
}

}  // namespace

BridgeMenuItem::BridgeMenuItem(void* item) : item_(item) {
    if (item_ == nullptr) {
        throw ERangeError();
    }
}

template <typename Result, typename... Arguments>
Result BridgeMenuItem::Call(Entry entry, Arguments... arguments) {
    using Routine = Result(__stdcall*)(void*, Arguments...);
    void* const item = item_;
    // An item that is no bridge item (its table unreadable, the entry missing or no code)
    // is refused before anything of it runs: jumping into data would not even fail reliably.
    const auto table = ReadWord(reinterpret_cast<std::uintptr_t>(item));
    const auto slot = table ? Offset(*table, static_cast<std::ptrdiff_t>(entry) * 4) : std::nullopt;
    const auto address = slot ? ReadWord(*slot) : std::nullopt;
    if (!address || !IsExecutable(*address)) {
        throw ERangeError();
    }
    const auto routine = reinterpret_cast<Routine>(static_cast<std::uintptr_t>(*address));
    std::conditional_t<std::is_void_v<Result>, int, Result> result{};
    auto call = [&]() noexcept {
        if constexpr (std::is_void_v<Result>) {
            routine(item, arguments...);
        } else {
            result = routine(item, arguments...);
        }
    };
    Guarded(call);
    if constexpr (!std::is_void_v<Result>) {
        return result;
    }
}

std::int32_t BridgeMenuItem::Count() {
    return Call<std::int32_t>(kGetCount);
}

void* BridgeMenuItem::Item(std::int32_t index) {
    return Call<void*>(kGetItem, index);
}

std::string BridgeMenuItem::Caption() {
    char buffer[256] = {};
    const std::int32_t length =
        Call<std::int32_t>(kGetCaption, static_cast<char*>(buffer), std::int32_t{sizeof buffer});
    buffer[sizeof buffer - 1] = '\0';
    const std::size_t copied = std::strlen(buffer);
    // A caption longer than the buffer was cut: it is then none that the driver looks for,
    // and must not pass for its first part.
    if (length < 0 || static_cast<std::size_t>(length) != copied) {
        return std::string(buffer, copied) + '\x01';
    }
    return std::string(buffer, copied);
}

void BridgeMenuItem::SetCaption(std::string_view cp1251) {
    const std::string text(cp1251);
    Call<void>(kSetCaption, text.c_str());
}

void BridgeMenuItem::SetHint(std::string_view cp1251) {
    const std::string text(cp1251);
    Call<void>(kSetHint, text.c_str());
}

void BridgeMenuItem::SetHelpContext(std::int32_t context) {
    Call<void>(kSetHelpContext, context);
}

void BridgeMenuItem::SetShortCut(std::int32_t shortcut) {
    Call<void>(kSetShortCut, shortcut);
}

void BridgeMenuItem::SetOnClick(ClickRoutine routine, void* object) {
    Call<void>(kSetOnClick, reinterpret_cast<void*>(routine), object);
}

void* CreateBridgeMenuItem(void* factory, void* parent, std::int32_t position) {
    using Factory = void*(__stdcall*)(void* parent, std::int32_t position);
    if (factory == nullptr || parent == nullptr) {
        throw ERangeError();
    }
    void* created = nullptr;
    auto call = [&]() noexcept { created = reinterpret_cast<Factory>(factory)(parent, position); };
    Guarded(call);
    if (created == nullptr) {
        throw ERangeError();
    }
    return created;
}

}  // namespace fuel::win32
