// What the built fuel-hq's end-to-end tests share: a worker on the test's broker and database,
// timed for a test (batches of 20 ms, gaps asked for after half a second, stations applied
// five times a second).
#pragma once

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include "testing/Broker.h"
#include "testing/Eventually.h"
#include "testing/HqProcess.h"

#ifndef FUEL_HQ_PATH
#error "FUEL_HQ_PATH must name the built program"
#endif

namespace fuel::hq::test {

using namespace std::chrono_literals;

inline constexpr std::string_view kIdentity = "hq";

using fuel::test::Eventually;

class HqProcess : public fuel::test::HqProcess {
  public:
    // `moreIntake`: [intake] lines beside the test's timing; `sections`: whole sections after.
    HqProcess(const std::filesystem::path& dir, const std::string& name,
              const fuel::test::MosquittoBroker& broker, const std::string& database,
              const std::string& moreIntake = {}, const std::string& sections = {})
        : fuel::test::HqProcess(dir, name,
                                {.program = FUEL_HQ_PATH,
                                 .brokerUrl = broker.Url(),
                                 .database = database,
                                 .identity = std::string(kIdentity),
                                 .intake = "batch-time = 0.02\ngap-time = 0.5\n"
                                           "apply-every = 0.2\nhealth-every = 60\n" +
                                           moreIntake,
                                 .sections = sections}) {}
    void Kill() { EXPECT_EQ(fuel::test::HqProcess::Kill(), 128 + SIGKILL); }
    // SIGTERM, and the messages it stored, from its last words.
    std::uint64_t Stop() {
        const Stopped stopped = fuel::test::HqProcess::Stop();
        EXPECT_EQ(stopped.status, 0) << Log();
        return stopped.stored;
    }
};

}  // namespace fuel::hq::test
