// The DLL as a host holds it in these tests: loaded afresh for each test (so that the
// process-wide menu-pending flag is set again, as at a library's load) and unloaded after
// it, which destroys whatever dialogs the test opened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/HostSlots.h"
#include "tests/win32/HostCalls.h"

namespace fuel::test::win32 {

class DllSession {
  public:
    DllSession();
    ~DllSession();
    DllSession(const DllSession&) = delete;
    DllSession& operator=(const DllSession&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    // A driver object from GetVE30 with the given line object.
    void* Create(std::uint32_t flags, void* line);
    GuardedOutcome AddMenuItems(void* object, const void* root, const void* factory);
    // The routine in a slot of an object's table.
    static const void* Routine(void* object, HostSlot slot);

  private:
    HMODULE module_ = nullptr;
};

void ExpectRangeError(const GuardedOutcome& outcome);

// UTF-8 text as the host keeps it.
std::string Cp1251(const std::string& utf8);

}  // namespace fuel::test::win32
