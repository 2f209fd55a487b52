#include "platform/win32/Boundary.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "driver/Exceptions.h"
#include "driver/Text1251.h"

namespace fuel::win32 {
namespace {

struct PendingFailure {
    DWORD code = 0;
    DWORD flags = 0;
    DWORD parameterCount = 0;
    ULONG_PTR parameters[EXCEPTION_MAXIMUM_PARAMETERS] = {};
    char className[32] = {};
    char message[512] = {};
};

thread_local PendingFailure pending;

void CopyText(char* target, std::size_t capacity, const char* text, std::size_t length) {
    const std::size_t n = std::min(length, capacity - 1);
    std::memcpy(target, text, n);
    target[n] = '\0';
}

void RecordDriverFailure(const char* className, const char* utf8Message) noexcept {
    CopyText(pending.className, sizeof pending.className, className, std::strlen(className));
    try {
        const std::string text = Utf8ToCp1251(utf8Message);
        CopyText(pending.message, sizeof pending.message, text.data(), text.size());
    } catch (...) {
        // No memory for the conversion: the ASCII part of a message reads the same.
        CopyText(pending.message, sizeof pending.message, utf8Message, std::strlen(utf8Message));
    }
    pending.code = kDriverExceptionCode;
    pending.flags = EXCEPTION_NONCONTINUABLE;
    pending.parameterCount = 2;
    std::fill(std::begin(pending.parameters), std::end(pending.parameters), 0);
    pending.parameters[0] = reinterpret_cast<ULONG_PTR>(pending.className);
    pending.parameters[1] = reinterpret_cast<ULONG_PTR>(pending.message);
}

}  // namespace

void RecordCurrentFailure() noexcept {
    try {
        throw;
    } catch (const HostFault& carried) {
        const StructuredFault& fault = carried.Fault();
        pending.code = fault.code;
        pending.flags = fault.flags & EXCEPTION_NONCONTINUABLE;
        pending.parameterCount = fault.parameterCount;
        std::copy(std::begin(fault.parameters), std::end(fault.parameters),
                  std::begin(pending.parameters));
    } catch (const fuel::Exception& failure) {
        RecordDriverFailure(failure.ClassName(), failure.what());
    } catch (const std::bad_alloc&) {
        RecordDriverFailure("Exception", "Out of memory");
    } catch (const std::exception& failure) {
        RecordDriverFailure("Exception", failure.what());
    } catch (...) {
        RecordDriverFailure("Exception", "Unknown failure");
    }
}

void RaisePendingFailure() {
    RaiseException(pending.code, pending.flags, pending.parameterCount, pending.parameters);
    // A handler may continue a continuable host exception; the call still must not return
    // as if it had succeeded.
    RaiseException(pending.code, EXCEPTION_NONCONTINUABLE, pending.parameterCount,
                   pending.parameters);
    __builtin_unreachable();
}

}  // namespace fuel::win32
