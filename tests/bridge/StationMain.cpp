// A station for the bridge's tests: a forecourt on the embedded emulator and its bridge in
// one process, as the daemon runs them, so that a test can run two stations at once and kill
// one with SIGKILL.
//
//     bridge_test_station CONFIG [FILLS [TOGGLES]]
//
// Makes FILLS fills and TOGGLES closes/opens of fuel point 1, prints "ready N" (N: the last
// journal sequence) and runs until SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "bridge/Bridge.h"
#include "bridge/Position.h"
#include "tests/bridge/BridgeTestSupport.h"

int main(int argc, char** argv) {
    using namespace fuel;
    if (argc < 2) {
        std::cerr << "usage: bridge_test_station CONFIG [FILLS [TOGGLES]]\n";
        return 2;
    }
    const int fills = argc > 2 ? std::atoi(argv[2]) : 0;
    const int toggles = argc > 3 ? std::atoi(argv[3]) : 0;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread: only sigwait takes them
    try {
        const forecourt::Config config =
            forecourt::LoadConfig(argv[1], {std::string(bridge::kSectionKind)});
        forecourt::Options options;
        options.migrations = bridge::Migrations();
        forecourt::Forecourt forecourt(config, options);
        forecourt.Start();
        bridge::BridgeOptions bridgeOptions;
        bridgeOptions.reconnectMin = std::chrono::milliseconds(50);
        bridgeOptions.reconnectMax = std::chrono::milliseconds(200);
        bridgeOptions.log = [](const std::string& line) { std::cerr << line << std::endl; };
        bridge::Bridge bridge(forecourt, bridge::ReadBrokerConfig(config).value(), bridgeOptions);
        bridge.Start();
        for (int i = 0; i < fills; ++i)
            bridge::test::Fill(forecourt, 0.5);
        bridge::test::ToggleFuelPoint(forecourt, toggles);
        std::cout << "ready " << forecourt.GetJournal().LastSequence() << std::endl;
        int signal = 0;
        sigwait(&stop, &signal);
        bridge.Stop();
        forecourt.Stop();
    } catch (const std::exception& error) {
        std::cerr << "bridge_test_station: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
