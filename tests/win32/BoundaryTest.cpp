// The boundary between the driver's C++ exceptions and the host's structured ones, and the
// factories' library-wide state, in-process.
#include "platform/win32/Boundary.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "driver/Exceptions.h"
#include "platform/win32/DriverTable.h"

namespace fuel::win32 {
namespace {

struct Raised {
    StructuredFault fault;
    std::string className;
    std::string message;
};

// What leaves the boundary when f throws.
template <typename F>
Raised RaiseFrom(const F& f) {
    Raised raised;
    auto boundary = [&]() noexcept {
        if (!Capture(f)) {
            RaisePendingFailure();
        }
    };
    EXPECT_FALSE(CallGuarded(boundary, raised.fault));
    if (raised.fault.code == kDriverExceptionCode && raised.fault.parameterCount == 2) {
        raised.className = reinterpret_cast<const char*>(raised.fault.parameters[0]);
        raised.message = reinterpret_cast<const char*>(raised.fault.parameters[1]);
    }
    return raised;
}

TEST(Boundary, DriverFailuresLeaveWithTheirClassAndWindows1251Message) {
    const Raised serial = RaiseFrom([] { throw ESerialIO("Невозможно считать параметр"); });
    EXPECT_EQ(serial.fault.code, 0xE0445256u);
    EXPECT_EQ(serial.fault.flags, DWORD{EXCEPTION_NONCONTINUABLE});
    EXPECT_EQ(serial.className, "ESerialIO");
    EXPECT_EQ(serial.message,
              "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xF1\xF7\xE8\xF2\xE0\xF2\xFC "
              "\xEF\xE0\xF0\xE0\xEC\xE5\xF2\xF0");

    const Raised base = RaiseFrom([] { throw Exception("Номер колонки"); });
    EXPECT_EQ(base.className, "Exception");
    EXPECT_EQ(base.message, "\xCD\xEE\xEC\xE5\xF0 \xEA\xEE\xEB\xEE\xED\xEA\xE8");

    const Raised range = RaiseFrom([] { throw ERangeError(); });
    EXPECT_EQ(range.className, "ERangeError");
    EXPECT_EQ(range.message, "Range check error");

    const Raised abstract = RaiseFrom([] { throw EAbstractError(); });
    EXPECT_EQ(abstract.className, "EAbstractError");
    EXPECT_EQ(abstract.message, "Abstract Error");
}

TEST(Boundary, OtherCppExceptionsLeaveAsTheBaseClass) {
    const Raised memory = RaiseFrom([] { throw std::bad_alloc(); });
    EXPECT_EQ(memory.fault.code, kDriverExceptionCode);
    EXPECT_EQ(memory.className, "Exception");
    EXPECT_EQ(memory.message, "Out of memory");

    const Raised other = RaiseFrom([] { throw std::runtime_error("odd"); });
    EXPECT_EQ(other.className, "Exception");
    EXPECT_EQ(other.message, "odd");

    const Raised unknown = RaiseFrom([] { throw 42; });
    EXPECT_EQ(unknown.className, "Exception");
}

TEST(Boundary, AMessageLongerThanItsBufferIsCutNotOverrun) {
    const Raised raised = RaiseFrom([] { throw Exception(std::string(2000, 'x')); });
    EXPECT_EQ(raised.message, std::string(511, 'x'));
}

TEST(Boundary, AHostExceptionLeavesWithItsOwnCodeFlagsAndParameters) {
    StructuredFault carried;
    carried.code = 0x0EEDFADE;
    carried.flags = EXCEPTION_NONCONTINUABLE;
    carried.parameterCount = 2;
    carried.parameters[0] = 0x401000;
    carried.parameters[1] = 0x12345678;
    const Raised raised = RaiseFrom([&] { throw HostFault(carried); });
    EXPECT_EQ(raised.fault.code, 0x0EEDFADEu);
    EXPECT_EQ(raised.fault.flags & EXCEPTION_NONCONTINUABLE, DWORD{EXCEPTION_NONCONTINUABLE});
    ASSERT_EQ(raised.fault.parameterCount, 2u);
    EXPECT_EQ(raised.fault.parameters[0], 0x401000u);
    EXPECT_EQ(raised.fault.parameters[1], 0x12345678u);
}

TEST(Boundary, NothingIsRaisedWhenTheDriverSucceeds) {
    int calls = 0;
    EXPECT_TRUE(Capture([&] { ++calls; }));
    EXPECT_EQ(calls, 1);
}

TEST(Factories, TheSecondObjectBecomesTheLibraryWideReference) {
    DriverObject* first = ::GetVE30(0, 0, nullptr);
    DriverObject* second = ::GetDriver25(0x70, 0, nullptr, 0, 0, 0, 0, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first->driver, second->driver);
    EXPECT_EQ(first->table, OperationTable());
    EXPECT_EQ(second->table, OperationTable());
    EXPECT_EQ(LibraryDriver(), second->driver);
    EXPECT_TRUE(second->driver->WDoza);
    EXPECT_FALSE(first->driver->WDoza);
}

TEST(Factories, TheOptionsFileIsInTheWindowsDirectory) {
    char directory[MAX_PATH] = {};
    ASSERT_NE(GetWindowsDirectoryA(directory, MAX_PATH), 0u);
    EXPECT_EQ(CnfIniPath(), std::string(directory) + "\\cnf.INI");
}

}  // namespace
}  // namespace fuel::win32
