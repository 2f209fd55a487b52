// The guard's mechanics, all in one place: a registration record built on the guard's own
// stack frame and pushed onto FS:[0], a handler that copies the exception, has the system
// unwind the frames above (RtlUnwind runs their termination handlers and unlinks their
// records), and then resumes inside the guard with the stack and frame pointers it saved.
// The frame-building part is assembly because the resume point must be a place whose
// register state is known exactly; C++ cannot name such a place.
#include "platform/win32/StructuredGuard.h"

#include <cstddef>

namespace {

// The registration record as the guard lays it out on its stack. The system reads the first
// two words; the rest is the guard's own.
struct GuardRecord {
    GuardRecord* next;
    void* handler;
    fuel::win32::StructuredFault* fault;
    void* savedFramePointer;
};
static_assert(offsetof(GuardRecord, next) == 0);
static_assert(offsetof(GuardRecord, handler) == 4);
static_assert(offsetof(GuardRecord, fault) == 8);
static_assert(offsetof(GuardRecord, savedFramePointer) == 12);
static_assert(sizeof(GuardRecord) == 16);

}  // namespace

extern "C" {
int __cdecl fuel_guard_call(fuel::win32::GuardedBody body, void* context,
                            fuel::win32::StructuredFault* fault);
EXCEPTION_DISPOSITION __cdecl fuel_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                                 CONTEXT* context, void* dispatcherContext);
[[noreturn]] void __cdecl fuel_guard_resume(GuardRecord* record);
}

// int fuel_guard_call(body, context, fault): 1 when body returned, 0 when the handler resumed.
// The record sits at the stack pointer while body runs, so the record's address is also the
// stack pointer to resume with; the saved EBP gives back this frame's arguments and the
// callee-saved registers pushed below it.
__asm__(
    ".text\n"
    ".globl _fuel_guard_call\n"
    ".def _fuel_guard_call; .scl 2; .type 32; .endef\n"
    "_fuel_guard_call:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl %ebp\n"                  // record.savedFramePointer
    "    pushl 16(%ebp)\n"              // record.fault
    "    pushl $_fuel_guard_handler\n"  // record.handler
    "    pushl %fs:0\n"                 // record.next
    "    movl %esp, %fs:0\n"
    "    pushl 12(%ebp)\n"
    "    call *8(%ebp)\n"
    "    addl $4, %esp\n"
    "    movl (%esp), %eax\n"
    "    movl %eax, %fs:0\n"
    "    movl $1, %eax\n"
    "    jmp 1f\n"
    ".globl _fuel_guard_landing\n"
    "_fuel_guard_landing:\n"
    "    cld\n"
    "    movl (%esp), %eax\n"
    "    movl %eax, %fs:0\n"
    "    xorl %eax, %eax\n"
    "1:\n"
    "    addl $16, %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n"
    "\n"
    ".globl _fuel_guard_resume\n"
    ".def _fuel_guard_resume; .scl 2; .type 32; .endef\n"
    "_fuel_guard_resume:\n"
    "    movl 4(%esp), %eax\n"
    "    movl %eax, %esp\n"
    "    movl 12(%esp), %ebp\n"
    "    jmp _fuel_guard_landing\n");

extern "C" EXCEPTION_DISPOSITION __cdecl fuel_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                                            CONTEXT*, void*) {
    // During an unwind the guard's frame is simply passed over; only the search for a
    // handler stops here.
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
        return ExceptionContinueSearch;
    }
    auto* guard = static_cast<GuardRecord*>(frame);
    fuel::win32::StructuredFault& fault = *guard->fault;
    fault.code = record->ExceptionCode;
    fault.flags = record->ExceptionFlags;
    fault.address = record->ExceptionAddress;
    fault.parameterCount = record->NumberParameters < EXCEPTION_MAXIMUM_PARAMETERS
                               ? record->NumberParameters
                               : EXCEPTION_MAXIMUM_PARAMETERS;
    for (DWORD i = 0; i < EXCEPTION_MAXIMUM_PARAMETERS; ++i) {
        fault.parameters[i] = i < fault.parameterCount ? record->ExceptionInformation[i] : 0;
    }
    // Returns once every frame above the guard has run its termination handler and left the
    // chain; the guard's record is then the head.
    RtlUnwind(frame, nullptr, record, nullptr);
    fuel_guard_resume(guard);
}

namespace fuel::win32 {

bool CallGuarded(GuardedBody body, void* context, StructuredFault& fault) noexcept {
    return fuel_guard_call(body, context, &fault) != 0;
}

void* HandlerChainHead() noexcept {
    void* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

}  // namespace fuel::win32
