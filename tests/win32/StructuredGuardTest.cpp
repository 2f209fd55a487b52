// The frame-based guard, in-process: what it catches, what it leaves alone, what it restores.
#include "platform/win32/StructuredGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/win32/HostCalls.h"

using fuel::test::win32::Link;
using fuel::test::win32::TerminationFrame;
using fuel::test::win32::TerminationLog;
using fuel::test::win32::Unlink;
using fuel::win32::CallGuarded;
using fuel::win32::HandlerChainHead;
using fuel::win32::StructuredFault;

extern "C" int __cdecl fuel_test_guard_shim(fuel::win32::GuardedBody body, void* context,
                                            StructuredFault* fault) {
    return CallGuarded(body, context, *fault) ? 1 : 0;
}

// Loads EBX, ESI and EDI with known values, runs the guard, and reports what the three
// registers hold when the guard has returned (out[0..2]) and its result (out[3]).
extern "C" void __cdecl fuel_test_registers_across_guard(fuel::win32::GuardedBody body,
                                                         void* context, StructuredFault* fault,
                                                         std::uint32_t* out);
__asm__(
    ".text\n"
    ".globl _fuel_test_registers_across_guard\n"
    "_fuel_test_registers_across_guard:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl $0x11111111, %ebx\n"
    "    movl $0x22222222, %esi\n"
    "    movl $0x33333333, %edi\n"
    "    pushl 16(%ebp)\n"
    "    pushl 12(%ebp)\n"
    "    pushl 8(%ebp)\n"
    "    call _fuel_test_guard_shim\n"
    "    addl $12, %esp\n"
    "    movl 20(%ebp), %ecx\n"
    "    movl %ebx, 0(%ecx)\n"
    "    movl %esi, 4(%ecx)\n"
    "    movl %edi, 8(%ecx)\n"
    "    movl %eax, 12(%ecx)\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

namespace {

constexpr DWORD kCode = 0xE0001234;

[[gnu::noinline]] void RaiseWithParameters() {
    const ULONG_PTR parameters[3] = {7, 8, 9};
    RaiseException(kCode, EXCEPTION_NONCONTINUABLE, 3, parameters);
}

void RaiseBody(void*) noexcept {
    RaiseWithParameters();
}

// Two of the host's frames, each with its termination handler, the inner one raising.
[[gnu::noinline]] void InnerHostFrame(TerminationLog* logs) {
    TerminationFrame frame;
    Link(frame, logs[1]);
    RaiseException(kCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    Unlink(frame);
}

[[gnu::noinline]] void OuterHostFrame(TerminationLog* logs) {
    TerminationFrame frame;
    Link(frame, logs[0]);
    InnerHostFrame(logs);
    Unlink(frame);
}

[[gnu::noinline]] std::uintptr_t StackDepthMark() {
    volatile int mark = 0;
    return reinterpret_cast<std::uintptr_t>(&mark);
}

TEST(StructuredGuard, ABodyThatReturnsLeavesTheChainAndTheFaultAlone) {
    void* const head = HandlerChainHead();
    int calls = 0;
    auto body = [&]() noexcept { ++calls; };
    StructuredFault fault;
    fault.code = 0x55;
    EXPECT_TRUE(CallGuarded(body, fault));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(fault.code, 0x55u);
    EXPECT_EQ(HandlerChainHead(), head);
}

TEST(StructuredGuard, CatchesAnyCodeWithItsFlagsAndParameters) {
    void* const head = HandlerChainHead();
    StructuredFault fault;
    EXPECT_FALSE(CallGuarded(&RaiseBody, nullptr, fault));
    EXPECT_EQ(fault.code, kCode);
    EXPECT_EQ(fault.flags & EXCEPTION_NONCONTINUABLE, DWORD{EXCEPTION_NONCONTINUABLE});
    ASSERT_EQ(fault.parameterCount, 3u);
    EXPECT_EQ(fault.parameters[0], 7u);
    EXPECT_EQ(fault.parameters[1], 8u);
    EXPECT_EQ(fault.parameters[2], 9u);
    EXPECT_EQ(HandlerChainHead(), head);
}

TEST(StructuredGuard, UnwindsTheFramesAboveItThroughTheirTerminationHandlers) {
    void* const head = HandlerChainHead();
    TerminationLog logs[2];
    auto body = [&]() noexcept { OuterHostFrame(logs); };
    StructuredFault fault;
    EXPECT_FALSE(CallGuarded(body, fault));
    EXPECT_TRUE(logs[0].ran);
    EXPECT_TRUE(logs[1].ran);
    EXPECT_EQ(logs[0].unwoundBy, kCode);
    EXPECT_EQ(logs[1].unwoundBy, kCode);
    EXPECT_EQ(HandlerChainHead(), head);
}

TEST(StructuredGuard, GuardsNestAndTheInnermostCatches) {
    void* const head = HandlerChainHead();
    bool innerCaught = false;
    StructuredFault innerFault;
    auto outerBody = [&]() noexcept {
        void* const outerHead = HandlerChainHead();
        innerCaught = !CallGuarded(&RaiseBody, nullptr, innerFault);
        // Back in the outer guard's body with its record at the head of the chain.
        if (HandlerChainHead() != outerHead) {
            return;
        }
        RaiseException(0xE0005678, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    };
    StructuredFault outerFault;
    EXPECT_FALSE(CallGuarded(outerBody, outerFault));
    EXPECT_TRUE(innerCaught);
    EXPECT_EQ(innerFault.code, kCode);
    EXPECT_EQ(outerFault.code, 0xE0005678u);
    EXPECT_EQ(HandlerChainHead(), head);
}

TEST(StructuredGuard, CppExceptionsInsideTheBodyAreNotItsBusiness) {
    void* const head = HandlerChainHead();
    bool caughtInside = false;
    auto body = [&]() noexcept {
        try {
            throw std::runtime_error("inside");
        } catch (const std::runtime_error&) {
            caughtInside = true;
        }
    };
    StructuredFault fault;
    EXPECT_TRUE(CallGuarded(body, fault));
    EXPECT_TRUE(caughtInside);
    EXPECT_EQ(HandlerChainHead(), head);

    // After a caught structured exception, C++ exceptions still work around the guard.
    EXPECT_FALSE(CallGuarded(&RaiseBody, nullptr, fault));
    EXPECT_THROW(throw std::logic_error("after"), std::logic_error);
}

TEST(StructuredGuard, RestoresTheCalleeSavedRegisters) {
    auto clobberAndRaise = [](void*) noexcept {
        __asm__ volatile("movl $0, %%ebx\n\tmovl $0, %%esi\n\tmovl $0, %%edi"
                         :
                         :
                         : "ebx", "esi", "edi");
        RaiseWithParameters();
    };
    StructuredFault fault;
    std::uint32_t out[4] = {};
    fuel_test_registers_across_guard(clobberAndRaise, nullptr, &fault, out);
    EXPECT_EQ(out[0], 0x11111111u);
    EXPECT_EQ(out[1], 0x22222222u);
    EXPECT_EQ(out[2], 0x33333333u);
    EXPECT_EQ(out[3], 0u);
    EXPECT_EQ(fault.code, kCode);
}

TEST(StructuredGuard, ThousandsOfCatchesLeaveNoTraceOnTheStack) {
    void* const head = HandlerChainHead();
    const std::uintptr_t depth = StackDepthMark();
    StructuredFault fault;
    int caught = 0;
    for (int i = 0; i < 5000; ++i) {
        caught += CallGuarded(&RaiseBody, nullptr, fault) ? 0 : 1;
    }
    EXPECT_EQ(caught, 5000);
    EXPECT_EQ(StackDepthMark(), depth);
    EXPECT_EQ(HandlerChainHead(), head);
}

}  // namespace
