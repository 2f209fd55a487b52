// Each host operation of the driver as a type, made from the list (driver/HostOperations.def):
// its slot, its name, the trace keys of its parameters and result, and the driver's function.
// What writes an operation's "call" line and what reads it back for a replay both go through
// the parameter's type and key here, so the two agree on every line.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "driver/HostSlots.h"
#include "driver/TVM30.h"
#include "driver/TraceFormat.h"

namespace fuel {

template <typename... Keys>
constexpr auto TraceKeys(Keys... keys) {
    return std::array<std::string_view, sizeof...(Keys)>{keys...};
}

// One specialisation per host operation of the driver (platform operations have none).
template <HostSlot S>
struct HostOperation;

#define FUEL_HOST_OPERATION(slot, name, result, resultKey, ...)          \
    template <>                                                          \
    struct HostOperation<HostSlot::name> {                               \
        static constexpr std::string_view kName = #name;                 \
        static constexpr std::string_view kResultKey = resultKey;        \
        static constexpr auto kKeys = TraceKeys(FUEL_KEYS(__VA_ARGS__)); \
        static constexpr auto kMethod = &TVM30::name;                    \
    };
#include "driver/HostOperations.def"

// The line-settings routine that the link calls back has no slot, but runs and is traced and
// replayed like a host operation.
struct ApplyLinkSettingsOperation {
    static constexpr std::string_view kName = "ApplyLinkSettings";
    static constexpr std::string_view kResultKey = "result";
    static constexpr auto kKeys = TraceKeys("ch");
    static constexpr auto kMethod = &TVM30::ApplyLinkSettings;
};

// Calls visit(Operation{}) for each host operation of the driver, in slot order, and for the
// line-settings routine last.
template <typename Visit>
void ForEachTracedOperation(Visit&& visit) {
#define FUEL_HOST_OPERATION(slot, name, ...) visit(HostOperation<HostSlot::name>{});
#include "driver/HostOperations.def"
    visit(ApplyLinkSettingsOperation{});
}

// The parameter types and result of an operation's function.
template <typename Method>
struct Signature;
template <typename Method>
struct Signature<const Method> : Signature<Method> {};
template <typename R, typename... Parameters>
struct Signature<R (TVM30::*)(Parameters...)> {
    using Result = R;
    using Arguments = std::tuple<std::remove_cvref_t<Parameters>...>;
    template <std::size_t I>
    using Parameter = std::tuple_element_t<I, std::tuple<Parameters...>>;
    static constexpr std::size_t kCount = sizeof...(Parameters);
};

// How a parameter shows in the trace, by its type: a value on the "call" line; a number the
// operation hands back through a reference on its "done" or "fail" line; a status record the
// caller passes in and gets back as hexadecimal bytes on the "call" line.
template <typename T>
inline constexpr bool kHandedBack =
    std::conjunction_v<std::is_lvalue_reference<T>, std::is_arithmetic<std::remove_reference_t<T>>>;
template <typename T>
inline constexpr bool kRecord = requires(std::remove_cvref_t<T> r) {
    r.bytes;
};

// The "call" line's field of one parameter (none for a number handed back).
template <typename T>
void WriteArgument(TraceEvent& call, std::string_view key, const std::remove_cvref_t<T>& value) {
    if constexpr (kRecord<T>) {
        call.WithHex(key, value.bytes);
    } else if constexpr (!kHandedBack<T>) {
        call.With(key, value);
    }
}

// The "done" or "fail" line's field of one parameter: a number handed back, whatever the
// operation did with it before it ended.
template <typename T>
void WriteHandedBack(TraceEvent& end, std::string_view key, const std::remove_cvref_t<T>& value) {
    if constexpr (kHandedBack<T>) {
        end.With(key, value);
    }
}

// The argument of one parameter, read back from the "call" line; a number handed back starts
// at zero, a record absent from the line as zeros. Throws TraceFormatError naming the key.
template <typename T>
std::remove_cvref_t<T> ReadArgument(const TraceEvent& call, std::string_view key) {
    using Value = std::remove_cvref_t<T>;
    if constexpr (kRecord<T>) {
        Value record;
        if (call.Has(key)) {
            const auto bytes = call.Hex(key);
            if (bytes.size() != Value::kSize) {
                throw TraceFormatError("field '" + std::string(key) + "' should hold " +
                                       std::to_string(Value::kSize) + " bytes, not " +
                                       std::to_string(bytes.size()));
            }
            std::copy(bytes.begin(), bytes.end(), record.bytes.begin());
        }
        return record;
    } else if constexpr (kHandedBack<T>) {
        return Value{};
    } else if constexpr (std::is_floating_point_v<Value>) {
        return call.Real(key);
    } else {
        return static_cast<Value>(call.Integer(key, std::numeric_limits<Value>::min(),
                                               std::numeric_limits<Value>::max()));
    }
}

}  // namespace fuel
