#include "tests/win32/DllSession.h"

#include <gtest/gtest.h>

#include "driver/Text1251.h"

namespace fuel::test::win32 {

DllSession::DllSession() : module_(LoadLibraryA(FUEL_DLL_FILE)) {}

DllSession::~DllSession() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

void* DllSession::Create(std::uint32_t flags, void* line) {
    const void* factory = reinterpret_cast<const void*>(GetProcAddress(module_, "GetVE30"));
    const GuardedOutcome created = CallStdcallGuarded(factory, {flags, 0, Word(line)});
    EXPECT_FALSE(created.raised);
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(created.call.eax));
}

const void* DllSession::Routine(void* object, HostSlot slot) {
    return (*static_cast<const void* const* const*>(object))[SlotNumber(slot)];
}

GuardedOutcome DllSession::AddMenuItems(void* object, const void* root, const void* factory) {
    const GuardedOutcome outcome = CallStdcallGuarded(Routine(object, HostSlot::AddMenuItems),
                                                      {Word(object), Word(root), Word(factory)});
    EXPECT_EQ(outcome.call.stackImbalance, 0);
    return outcome;
}

void ExpectRangeError(const GuardedOutcome& outcome) {
    ASSERT_TRUE(outcome.raised) << "expected a range error";
    EXPECT_EQ(outcome.code, kDriverExceptionCode);
    EXPECT_EQ(outcome.className, "ERangeError");
    EXPECT_EQ(outcome.message, "Range check error");
}

std::string Cp1251(const std::string& utf8) {
    return Utf8ToCp1251(utf8);
}

}  // namespace fuel::test::win32
