// What the command and status tests share: a driver on a recording link, the command data of
// every frame it sent, and a check of the failure an operation raised (class and message, as
// the host sees them).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/TVM30.h"
#include "testing/RecordingLink.h"

namespace fuel::test {

class DriverTest : public ::testing::Test {
  protected:
    RecordingLink link;
    // Flags 0: StartInLiter on, WStart and WDoza off; no options file.
    TVM30 driver{0, &link, ""};

    // The command data of every frame sent so far, in order.
    std::vector<Bytes> Sent() const {
        std::vector<Bytes> data;
        for (const RecordingLink::Sent& s : link.sent) {
            data.push_back(DataOf(s.frame));
        }
        return data;
    }
};

// Sets what a test needs in one dispenser's tables before an operation, through the door a
// replayed trace comes in by: what `change` sets, the rest as the driver has it.
template <typename Change>
void GivenDispenser(TVM30& driver, std::int64_t channel, std::int64_t dispenser,
                    const Change& change) {
    DispenserState state = driver.Tables().Dispenser(channel, dispenser);
    change(state);
    driver.RestoreDispenser(channel, dispenser, state);
}

// Runs f and judges what it raised by the class name and message the host would see.
template <typename F>
::testing::AssertionResult Raises(F&& f, const std::string& className, const std::string& message) {
    try {
        f();
    } catch (const Exception& e) {
        if (e.ClassName() == className && e.Message() == message) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "raised " << e.ClassName() << " \"" << e.Message() << "\", expected " << className
               << " \"" << message << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "raised a foreign exception: " << e.what();
    }
    return ::testing::AssertionFailure() << "raised nothing, expected " << className;
}

inline ::testing::AssertionResult RaisesSerialIO(const auto& f, const std::string& message) {
    return Raises(f, "ESerialIO", message);
}

}  // namespace fuel::test
