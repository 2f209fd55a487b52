// What the list of host operations (driver/HostOperations.def) gives without the driver
// object: the slot of each operation in the host's table, their count, and the macros that
// turn an entry's parameters, (type, name, trace key) each, into a parameter list, an
// argument list or a list of keys.
#pragma once

#include <array>
#include <cstddef>

namespace fuel {

// The slots of the host's table of the driver object, named as the operations are.
enum class HostSlot : int {
#define FUEL_HOST_OPERATION(slot, name, ...) name = slot,
#define FUEL_PLATFORM_OPERATION(slot, name) name = slot,
#include "driver/HostOperations.def"
};

namespace detail {
inline constexpr HostSlot kListedSlots[] = {
#define FUEL_HOST_OPERATION(slot, name, ...) HostSlot::name,
#define FUEL_PLATFORM_OPERATION(slot, name) HostSlot::name,
#include "driver/HostOperations.def"
};

constexpr bool EachSlotInItsPlace() {
    for (std::size_t i = 0; i < std::size(kListedSlots); ++i) {
        if (static_cast<std::size_t>(kListedSlots[i]) != i) {
            return false;
        }
    }
    return true;
}
}  // namespace detail

// The host reads the table by position: a slot out of order, missing or twice is a different
// driver to it.
static_assert(detail::EachSlotInItsPlace(), "the host operations must be listed slot by slot");

inline constexpr int kHostSlotCount = static_cast<int>(std::size(detail::kListedSlots));

constexpr int SlotNumber(HostSlot slot) {
    return static_cast<int>(slot);
}

}  // namespace fuel

// An entry's parameters, each (type, name, key), as a parameter list, an argument list or a
// list of keys. Up to seven, the most any host operation takes.
#define FUEL_PARAMETER(type, name, key) type name
#define FUEL_ARGUMENT(type, name, key) name
#define FUEL_KEY(type, name, key) key

#define FUEL_EACH_0(macro)
#define FUEL_EACH_1(macro, a) macro a
#define FUEL_EACH_2(macro, a, ...) macro a, FUEL_EACH_1(macro, __VA_ARGS__)
#define FUEL_EACH_3(macro, a, ...) macro a, FUEL_EACH_2(macro, __VA_ARGS__)
#define FUEL_EACH_4(macro, a, ...) macro a, FUEL_EACH_3(macro, __VA_ARGS__)
#define FUEL_EACH_5(macro, a, ...) macro a, FUEL_EACH_4(macro, __VA_ARGS__)
#define FUEL_EACH_6(macro, a, ...) macro a, FUEL_EACH_5(macro, __VA_ARGS__)
#define FUEL_EACH_7(macro, a, ...) macro a, FUEL_EACH_6(macro, __VA_ARGS__)
#define FUEL_EACH_PICK(_1, _2, _3, _4, _5, _6, _7, picked, ...) picked
#define FUEL_EACH(macro, ...)                                                                     \
    FUEL_EACH_PICK(__VA_ARGS__ __VA_OPT__(, ) FUEL_EACH_7, FUEL_EACH_6, FUEL_EACH_5, FUEL_EACH_4, \
                   FUEL_EACH_3, FUEL_EACH_2, FUEL_EACH_1, FUEL_EACH_0)                            \
    (macro __VA_OPT__(, ) __VA_ARGS__)

#define FUEL_PARAMETERS(...) FUEL_EACH(FUEL_PARAMETER, __VA_ARGS__)
#define FUEL_ARGUMENTS(...) FUEL_EACH(FUEL_ARGUMENT, __VA_ARGS__)
#define FUEL_KEYS(...) FUEL_EACH(FUEL_KEY, __VA_ARGS__)
