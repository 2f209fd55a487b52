// The edge between the driver's C++ and the host's structured exceptions. No C++ exception
// may leave the library, so every routine the host calls runs the driver inside Capture(),
// which records a failure as the thread's pending failure; the routine then raises it with
// RaisePendingFailure() from a frame that holds nothing to destroy.
#pragma once

#include <windows.h>

#include <exception>

#include "platform/win32/StructuredGuard.h"

namespace fuel::win32 {

// The code of every failure that the driver itself raises towards the host.
inline constexpr DWORD kDriverExceptionCode = 0xE0445256;

// A structured exception that a host routine raised while the driver called it, carried
// through the driver's C++ frames (their destructors run) to the next boundary, where it is
// raised again with its own code, flags and parameters.
class HostFault : public std::exception {
  public:
    explicit HostFault(const StructuredFault& fault) : fault_(fault) {}
    const char* what() const noexcept override {
        return "a host routine raised a structured exception";
    }
    const StructuredFault& Fault() const noexcept { return fault_; }

  private:
    StructuredFault fault_;
};

// Records the exception being handled (call only from inside a catch handler) as the
// calling thread's pending failure.
void RecordCurrentFailure() noexcept;

// Raises the thread's pending failure. A fuel::Exception leaves as kDriverExceptionCode,
// noncontinuable, with two parameters: the class name (ASCII) and the message
// (Windows-1251), both NUL-terminated and valid until the thread's next failure. A HostFault
// leaves as the exception it carries. Anything else leaves as the base class "Exception".
[[noreturn]] void RaisePendingFailure();

// Runs f; false when it threw, the failure then pending. Never inlined, so that whatever f
// leaves to destroy is gone before the caller raises.
template <typename F>
[[gnu::noinline]] bool Capture(const F& f) noexcept {
    try {
        f();
        return true;
    } catch (...) {
        RecordCurrentFailure();
        return false;
    }
}

}  // namespace fuel::win32
