// How a 32-bit host calls into the library and protects its own frames, for tests.
//
// CallStdcall pushes argument words as the host's compiler does and measures the stack
// pointer around the call: a MinGW caller would restore it from its frame pointer and so
// hide a routine that removes the wrong number of bytes.
//
// TerminationFrame is the host's "finally": a registration record on the thread's handler
// chain whose handler notes that the system unwound through it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/win32/StructuredGuard.h"

namespace fuel::test::win32 {

struct CallOutcome {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    // Bytes the routine left on the stack (positive) or took beyond its arguments (negative).
    std::int32_t stackImbalance = 0;
    double st0 = 0;  // only for routines that return a double
};

enum class Returns { Integer, Double };

// Calls routine with the words pushed right to left (words[0] ends up nearest the return
// address). Does not catch anything.
CallOutcome CallStdcall(const void* routine, const std::vector<std::uint32_t>& words,
                        Returns returns = Returns::Integer);

// A double as the two stack words it takes, low word first.
std::vector<std::uint32_t> Words(double value);
std::uint32_t Word(const void* pointer);

// The outcome of a call that may raise: the structured exception, if one left the routine,
// with the driver's two texts read while they were still valid.
struct GuardedOutcome {
    CallOutcome call;
    bool raised = false;
    DWORD code = 0;
    DWORD flags = 0;
    DWORD parameterCount = 0;
    ULONG_PTR parameters[EXCEPTION_MAXIMUM_PARAMETERS] = {};
    std::string className;  // parameters[0] as text, for the driver's own code
    std::string message;    // parameters[1] as bytes (Windows-1251)
};

GuardedOutcome CallStdcallGuarded(const void* routine, const std::vector<std::uint32_t>& words,
                                  Returns returns = Returns::Integer);

// The host's termination handler. Link() pushes a frame (which must live on the stack, as
// the system accepts no other records) onto the chain; Unlink() takes it off on the normal
// path. When an exception unwinds through it instead, the system unlinks it and the log
// notes the exception.
struct TerminationLog {
    bool ran = false;
    DWORD unwoundBy = 0;
    std::string className;  // parameter 0 of the driver's own code
};
struct TerminationFrame {
    void* next;
    void* handler;
    TerminationLog* log;
};
void Link(TerminationFrame& frame, TerminationLog& log);
void Unlink(const TerminationFrame& frame);

inline constexpr DWORD kDriverExceptionCode = 0xE0445256;

}  // namespace fuel::test::win32
