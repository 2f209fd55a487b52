// A host operation run again from its "call" line: the operation the line names, with the
// arguments it recorded, read by the keys of the list of host operations
// (driver/HostOperations.def) that the traced driver wrote them with.
#pragma once

#include <string_view>

#include "driver/TVM30.h"
#include "driver/TraceFormat.h"

namespace fuel::trace {

// Calls the operation named `name` on the driver with the arguments of `call`; false, and
// nothing called, when no operation of the list (nor the line-settings routine) has that
// name. An argument that does not read throws TraceFormatError naming its key, before the
// driver is called; what the operation throws passes through.
bool InvokeCall(TVM30& driver, std::string_view name, const TraceEvent& call);

}  // namespace fuel::trace
