// The host's entry points: the two factories, the 29 operations and the two handlers that
// the host calls back. Each routine has exactly the host's arguments and stack size; it
// narrows byte arguments itself (only their low byte is meaningful), runs the driver inside
// Capture() and, when that failed, raises the failure with nothing left to destroy.
#include "platform/win32/DriverTable.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <type_traits>

#include "driver/HostOperations.h"
#include "driver/Text1251.h"
#include "platform/win32/Boundary.h"
#include "platform/win32/HostLinkProxy.h"
#include "platform/win32/MenuEntry.h"

namespace fuel::win32 {
namespace {

using u32 = std::uint32_t;
using i32 = std::int32_t;

std::uint8_t Byte(u32 slot) {
    return static_cast<std::uint8_t>(slot & 0xFF);
}

// The newest object the factories made; each links to the one before. Objects are never
// freed, so the chain only grows, and a lookup needs no lock.
std::atomic<DriverObject*> newestObject{nullptr};

void Register(DriverObject* object) {
    object->previous = newestObject.load(std::memory_order_relaxed);
    while (!newestObject.compare_exchange_weak(object->previous, object, std::memory_order_release,
                                               std::memory_order_relaxed)) {
    }
}

// Anything but an object the factories made is refused before a single byte of it is read.
TVM30& Driver(const void* object) {
    if (!IsDriverObject(object)) {
        throw ERangeError();
    }
    TVM30* driver = static_cast<const DriverObject*>(object)->driver;
    if (driver == nullptr) {
        throw ERangeError();
    }
    return *driver;
}

void* Pointer(u32 word) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word));
}

// The routines that hand back a string or a record (slots 1, 21 and 27) get a hidden
// pointer to the caller's result buffer besides their declared arguments. Hosts put it in
// one of two places, with the same stack size: after the declared arguments (the host
// language's rule for function results: object, arguments..., result) or pushed last,
// before the object (its rule for methods with the standard calling convention: result,
// object, arguments...). The driver knows its objects, so the first word tells: one of them
// means the first layout; otherwise the second word must be one. Anything else is refused
// before any word is used as a pointer.
template <std::size_t N>
struct ResultCall {
    void* object;
    std::array<u32, N> arguments;
    void* result;
};

template <std::size_t N>
ResultCall<N> Arrange(const std::array<u32, N + 2>& words) {
    ResultCall<N> call{};
    std::size_t first = 0;
    if (IsDriverObject(Pointer(words[0]))) {
        call.object = Pointer(words[0]);
        call.result = Pointer(words[N + 1]);
        first = 1;
    } else if (IsDriverObject(Pointer(words[1]))) {
        call.result = Pointer(words[0]);
        call.object = Pointer(words[1]);
        first = 2;
    } else {
        throw ERangeError();
    }
    std::copy_n(words.begin() + static_cast<std::ptrdiff_t>(first), N, call.arguments.begin());
    return call;
}

// A pointer the host hands over for the driver to read or fill: a null one would be a write
// to nowhere, so it fails like any index outside its buffer.
template <typename T>
T& Target(T* pointer) {
    if (pointer == nullptr) {
        throw ERangeError();
    }
    return *pointer;
}

#define FUEL_BOUNDARY(...)                    \
    do {                                      \
        if (!Capture([&] { __VA_ARGS__; })) { \
            RaisePendingFailure();            \
        }                                     \
    } while (false)

// ---- Handlers the host calls back.

std::uint8_t __stdcall ReplyCheckEntry(void* object, u32 channel, const std::uint8_t* reply,
                                       i32 high, const std::uint8_t* receivedCount,
                                       const std::uint8_t* expectedCount) {
    bool accepted = false;
    FUEL_BOUNDARY(accepted = Driver(object).ReplyCheck(channel, reply, high, Target(receivedCount),
                                                       Target(expectedCount)));
    return accepted ? 1 : 0;
}

i32 __stdcall ApplyLinkSettingsEntry(void* object, u32 channel) {
    i32 result = 0;
    FUEL_BOUNDARY(result = Driver(object).ApplyLinkSettings(channel));
    return result;
}

// ---- The operations of the host's table. Those that pass words the driver takes as they
// come (a byte argument in a whole stack slot, a number handed back through a pointer) are
// made from the list of host operations below; those that are not are written here.

// 1: the result is a length-prefixed string in the host's 256-byte buffer, through the
// hidden result pointer in either place (Arrange).
void __stdcall GetProtocolDescription(u32 word0, u32 word1) {
    FUEL_BOUNDARY({
        const ResultCall<0> call = Arrange<0>({word0, word1});
        TVM30& driver = Driver(call.object);
        std::uint8_t& out = Target(static_cast<std::uint8_t*>(call.result));
        const std::string text = Utf8ToCp1251(driver.GetProtocolDescription());
        const std::size_t length = std::min<std::size_t>(text.size(), 255);
        (&out)[0] = static_cast<std::uint8_t>(length);
        std::memcpy(&out + 1, text.data(), length);
    });
}

// 21 and 27: the record goes through the hidden result pointer (Arrange). The driver fills
// a copy of the caller's record, so a byte the poll leaves alone keeps the caller's value,
// and the copy goes back to the caller however the poll ends: a host that catches the
// failure still reads the summary and the words of the nozzles polled before it.
template <typename Record>
void PollInto(const ResultCall<3>& call,
              void (TVM30::*poll)(std::uint8_t, std::uint8_t, std::uint8_t, Record&)) {
    TVM30& driver = Driver(call.object);
    std::uint8_t& out = Target(static_cast<std::uint8_t*>(call.result));
    Record record;
    std::memcpy(record.bytes.data(), &out, Record::kSize);
    try {
        (driver.*poll)(Byte(call.arguments[0]), Byte(call.arguments[1]), Byte(call.arguments[2]),
                       record);
    } catch (...) {
        std::memcpy(&out, record.bytes.data(), Record::kSize);
        throw;
    }
    std::memcpy(&out, record.bytes.data(), Record::kSize);
}

void __stdcall PollDispenserStatus(u32 word0, u32 word1, u32 word2, u32 word3, u32 word4) {
    FUEL_BOUNDARY(
        PollInto(Arrange<3>({word0, word1, word2, word3, word4}), &TVM30::PollDispenserStatus));
}

// 24: the service tool's item in the host's menu, once per process (MenuEntry).
void __stdcall AddMenuItems(DriverObject* self, void* rootItem, void* itemFactory) {
    FUEL_BOUNDARY({
        Driver(self);
        AddProgrammingMenuItem(rootItem, itemFactory);
    });
}

// The driver fills the extended record only once the inner poll has succeeded, so a failed
// poll leaves all 20 of the caller's bytes as they were.
void __stdcall PollDispenserStatusEx(u32 word0, u32 word1, u32 word2, u32 word3, u32 word4) {
    FUEL_BOUNDARY(
        PollInto(Arrange<3>({word0, word1, word2, word3, word4}), &TVM30::PollDispenserStatusEx));
}

// How the host passes an argument of the driver's type T: in one 32-bit stack slot (of which
// a byte argument's low byte counts), a double in two, a number handed back as a pointer to
// the caller's variable.
template <typename T>
struct Wire {
    static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(u32));
    using Word = u32;
    static T From(u32 word) { return static_cast<T>(word); }
};
template <>
struct Wire<double> {
    using Word = double;
    static double From(double word) { return word; }
};
template <typename T>
struct Wire<T&> {
    using Word = T*;
    static T& From(T* word) { return Target(word); }
};

// And how it takes the result back: a Boolean as a byte in AL, the rest as the driver's.
template <typename T>
struct WireResult {
    using Word = T;
    static T From(T result) { return result; }
};
template <>
struct WireResult<void> {
    using Word = void;
};
template <>
struct WireResult<bool> {
    using Word = std::uint8_t;
    static std::uint8_t From(bool result) { return result ? 1 : 0; }
};

// The routine of an operation whose arguments and result all cross as Wire and WireResult
// say: the driver's function, called inside Capture, on the driver behind the host's object.
template <auto Method, typename = std::remove_cv_t<decltype(Method)>>
struct HostRoutine;
template <auto Method, typename R, typename... Parameters>
struct HostRoutine<Method, R (TVM30::*)(Parameters...)> {
    static typename WireResult<R>::Word __stdcall Entry(DriverObject* self,
                                                        typename Wire<Parameters>::Word... words) {
        if constexpr (std::is_void_v<R>) {
            FUEL_BOUNDARY((Driver(self).*Method)(Wire<Parameters>::From(words)...));
        } else {
            typename WireResult<R>::Word result{};
            FUEL_BOUNDARY(result = WireResult<R>::From(
                              (Driver(self).*Method)(Wire<Parameters>::From(words)...)));
            return result;
        }
    }
};

#undef FUEL_BOUNDARY

template <typename Routine>
const void* Slot(Routine routine) {
    return reinterpret_cast<const void*>(routine);
}

// The routine in each slot: the one made from the driver's function, or one written above.
template <HostSlot S>
const void* RoutineOf() {
    return Slot(&HostRoutine<HostOperation<S>::kMethod>::Entry);
}
template <>
const void* RoutineOf<HostSlot::GetProtocolDescription>() {
    return Slot(&GetProtocolDescription);
}
template <>
const void* RoutineOf<HostSlot::PollDispenserStatus>() {
    return Slot(&PollDispenserStatus);
}
template <>
const void* RoutineOf<HostSlot::AddMenuItems>() {
    return Slot(&AddMenuItems);
}
template <>
const void* RoutineOf<HostSlot::PollDispenserStatusEx>() {
    return Slot(&PollDispenserStatusEx);
}

// Row by row from the list, so that no slot can be missing or out of its place.
const void* const kTable[] = {
#define FUEL_HOST_OPERATION(slot, name, ...) RoutineOf<HostSlot::name>(),
#define FUEL_PLATFORM_OPERATION(slot, name) RoutineOf<HostSlot::name>(),
#include "driver/HostOperations.def"
};
static_assert(std::size(kTable) == kOperationCount);

}  // namespace

const void* const* OperationTable() {
    return kTable;
}

bool IsDriverObject(const void* pointer) {
    if (pointer == nullptr) {
        return false;
    }
    for (const DriverObject* object = newestObject.load(std::memory_order_acquire);
         object != nullptr; object = object->previous) {
        if (object == pointer) {
            return true;
        }
    }
    return false;
}

std::string CnfIniPath() {
    char directory[256] = {};
    const UINT length = GetWindowsDirectoryA(directory, 255);
    if (length == 0 || length >= 255) {
        return {};
    }
    return std::string(directory, length) + "\\cnf.INI";
}

DriverObject* CreateDriverObject(std::uint32_t flags, void* hostLink) {
    auto* link = new HostLinkProxy(hostLink);
    TVM30* driver = CreateDriver(flags, link, CnfIniPath());
    auto* object = new DriverObject{kTable, driver, nullptr};
    link->Bind(driver, object, &ReplyCheckEntry, &ApplyLinkSettingsEntry);
    Register(object);
    return object;
}

}  // namespace fuel::win32

using fuel::win32::Capture;
using fuel::win32::DriverObject;
using fuel::win32::RaisePendingFailure;

extern "C" DriverObject* __stdcall GetVE30(std::uint32_t flags, std::uint32_t, void* hostLink) {
    DriverObject* object = nullptr;
    if (!Capture([&] { object = fuel::win32::CreateDriverObject(flags, hostLink); })) {
        RaisePendingFailure();
    }
    return object;
}

extern "C" DriverObject* __stdcall GetDriver25(std::uint32_t flags, std::uint32_t, void* hostLink,
                                               std::uint32_t, std::uint32_t, std::uint32_t,
                                               std::uint32_t, std::uint32_t) {
    DriverObject* object = nullptr;
    if (!Capture([&] { object = fuel::win32::CreateDriverObject(flags, hostLink); })) {
        RaisePendingFailure();
    }
    return object;
}
