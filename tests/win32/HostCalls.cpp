#include "tests/win32/HostCalls.h"

#include <cstddef>
#include <cstring>

namespace {

struct ThunkOutcome {
    double st0;
    std::uint32_t eax;
    std::uint32_t edx;
    std::int32_t stackImbalance;
};
static_assert(offsetof(ThunkOutcome, st0) == 0);
static_assert(offsetof(ThunkOutcome, eax) == 8);
static_assert(offsetof(ThunkOutcome, edx) == 12);
static_assert(offsetof(ThunkOutcome, stackImbalance) == 16);

}  // namespace

extern "C" void __cdecl fuel_test_call(const void* routine, const std::uint32_t* words,
                                       std::uint32_t count, ThunkOutcome* outcome,
                                       std::uint32_t popsDouble);

// The stack pointer before the first push is kept in ESI, which the routine must preserve;
// after the call ESP - ESI is what the routine failed to remove. ESP is then set back from
// ESI, so a wrong routine cannot derail the rest of the test.
__asm__(
    ".text\n"
    ".globl _fuel_test_call\n"
    ".def _fuel_test_call; .scl 2; .type 32; .endef\n"
    "_fuel_test_call:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl %esp, %esi\n"
    "    movl 16(%ebp), %ecx\n"
    "    movl 12(%ebp), %edx\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%edx,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %esp, %edi\n"
    "    subl %esi, %edi\n"
    "    movl %esi, %esp\n"
    "    movl 20(%ebp), %ecx\n"
    "    movl %eax, 8(%ecx)\n"
    "    movl %edx, 12(%ecx)\n"
    "    movl %edi, 16(%ecx)\n"
    "    cmpl $0, 24(%ebp)\n"
    "    je 3f\n"
    "    fstpl 0(%ecx)\n"
    "3:  popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

extern "C" EXCEPTION_DISPOSITION __cdecl fuel_test_termination_handler(EXCEPTION_RECORD* record,
                                                                       void* frame, CONTEXT*,
                                                                       void*) {
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
        fuel::test::win32::TerminationLog& log =
            *static_cast<fuel::test::win32::TerminationFrame*>(frame)->log;
        log.ran = true;
        log.unwoundBy = record->ExceptionCode;
        if (record->ExceptionCode == fuel::test::win32::kDriverExceptionCode &&
            record->NumberParameters >= 1) {
            log.className = reinterpret_cast<const char*>(record->ExceptionInformation[0]);
        }
    }
    return ExceptionContinueSearch;
}

namespace fuel::test::win32 {

CallOutcome CallStdcall(const void* routine, const std::vector<std::uint32_t>& words,
                        Returns returns) {
    ThunkOutcome raw{};
    fuel_test_call(routine, words.data(), static_cast<std::uint32_t>(words.size()), &raw,
                   returns == Returns::Double ? 1 : 0);
    CallOutcome outcome;
    outcome.eax = raw.eax;
    outcome.edx = raw.edx;
    outcome.stackImbalance = raw.stackImbalance;
    outcome.st0 = raw.st0;
    return outcome;
}

std::vector<std::uint32_t> Words(double value) {
    std::uint32_t words[2];
    std::memcpy(words, &value, sizeof value);
    return {words[0], words[1]};
}

std::uint32_t Word(const void* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

GuardedOutcome CallStdcallGuarded(const void* routine, const std::vector<std::uint32_t>& words,
                                  Returns returns) {
    GuardedOutcome outcome;
    ThunkOutcome raw{};
    const std::uint32_t* data = words.data();
    const auto count = static_cast<std::uint32_t>(words.size());
    const std::uint32_t popsDouble = returns == Returns::Double ? 1 : 0;
    auto call = [&]() noexcept { fuel_test_call(routine, data, count, &raw, popsDouble); };
    fuel::win32::StructuredFault fault;
    outcome.raised = !fuel::win32::CallGuarded(call, fault);
    outcome.call.eax = raw.eax;
    outcome.call.edx = raw.edx;
    outcome.call.stackImbalance = raw.stackImbalance;
    outcome.call.st0 = raw.st0;
    if (outcome.raised) {
        outcome.code = fault.code;
        outcome.flags = fault.flags;
        outcome.parameterCount = fault.parameterCount;
        std::memcpy(outcome.parameters, fault.parameters, sizeof outcome.parameters);
        if (fault.code == kDriverExceptionCode && fault.parameterCount == 2) {
            outcome.className = reinterpret_cast<const char*>(fault.parameters[0]);
            outcome.message = reinterpret_cast<const char*>(fault.parameters[1]);
        }
    }
    return outcome;
}

void Link(TerminationFrame& frame, TerminationLog& log) {
    frame.handler = reinterpret_cast<void*>(&fuel_test_termination_handler);
    frame.log = &log;
    void* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    frame.next = head;
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
}

void Unlink(const TerminationFrame& frame) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.next) : "memory");
}

}  // namespace fuel::test::win32
