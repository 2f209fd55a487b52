// A frame-based guard for structured exceptions, the only kind of failure that the host's
// routines can send back through the driver. MinGW's C++ try/catch never sees them, so a
// call into the host runs under this guard instead: a registration record on the thread's
// handler chain whose handler lets the system unwind every frame above it (the host's
// termination handlers run) and then resumes right behind the call.
#pragma once

#include <windows.h>

#include <cstdint>

namespace fuel::win32 {

// The exception that ended a guarded call, copied before the frames above were unwound.
struct StructuredFault {
    DWORD code = 0;
    DWORD flags = 0;
    void* address = nullptr;
    DWORD parameterCount = 0;
    ULONG_PTR parameters[EXCEPTION_MAXIMUM_PARAMETERS] = {};
};

// The guarded routine. It must not let a C++ exception out: the guard's own frame has no
// unwind tables, so such an exception would end the process.
using GuardedBody = void (*)(void* context) noexcept;

// Runs body(context). Returns true when it returned normally. Returns false when a structured
// exception of any code was raised inside it; the frames between the raise and the guard
// have then been unwound by the system, fault describes the exception, and the thread's
// handler chain is as it was before the call. Guards nest: the innermost one catches.
bool CallGuarded(GuardedBody body, void* context, StructuredFault& fault) noexcept;

// The same for any callable: f must be noexcept and hold nothing that needs destroying,
// since the frames of an interrupted call are dropped, not destroyed.
template <typename F>
bool CallGuarded(F& f, StructuredFault& fault) noexcept {
    return CallGuarded([](void* context) noexcept { (*static_cast<F*>(context))(); }, &f, fault);
}

// The head of the calling thread's handler chain (FS:[0]); tests use it to show that every
// guard leaves the chain as it found it.
void* HandlerChainHead() noexcept;

}  // namespace fuel::win32
