#include "trace/OperationCall.h"

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "driver/HostOperations.h"

namespace fuel::trace {
namespace {

using Invoker = void (*)(TVM30&, const TraceEvent&);

template <typename Operation>
void Invoke(TVM30& driver, const TraceEvent& call) {
    using Method = Signature<decltype(Operation::kMethod)>;
    // Every argument is read before the driver is called.
    auto arguments = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return typename Method::Arguments{
            ReadArgument<typename Method::template Parameter<I>>(call, Operation::kKeys[I])...};
    }
    (std::make_index_sequence<Method::kCount>{});
    std::apply([&](auto&... argument) { (driver.*Operation::kMethod)(argument...); }, arguments);
}

const std::map<std::string, Invoker, std::less<>>& Invokers() {
    static const auto invokers = [] {
        std::map<std::string, Invoker, std::less<>> map;
        ForEachTracedOperation([&]<typename Operation>(Operation) {
            map.emplace(Operation::kName, &Invoke<Operation>);
        });
        return map;
    }();
    return invokers;
}

}  // namespace

bool InvokeCall(TVM30& driver, std::string_view name, const TraceEvent& call) {
    const auto invoker = Invokers().find(name);
    if (invoker == Invokers().end()) {
        return false;
    }
    invoker->second(driver, call);
    return true;
}

}  // namespace fuel::trace
