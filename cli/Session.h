// One run of the program: the driver, the line it talks through and the controllers behind
// that line (the embedded emulator), set up from the common options. Commands see only this.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/TVM30.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"

namespace fuel::cli {

enum class BusTime {
    Virtual,  // the bus's clock moves only when the program lets time pass
    Paced     // real time, and every exchange takes its time on the line
};

// A fault as the user names it: KIND (the next reply it fits) or KIND@N (request N of the run).
struct FaultRequest {
    emulator::Fault fault;
    int request = 0;  // 0: the next reply the fault fits
};

struct SessionOptions {
    std::uint8_t channel = 1;
    std::optional<std::string> configPath;  // the emulator's configuration file
    std::string cnfIniPath;                 // the driver's options file
    std::uint32_t flags = 0;                // the factory's flags byte
    bool trace = false;
    std::optional<int> retries;  // the link's default when unset
    BusTime time = BusTime::Virtual;
    std::vector<FaultRequest> faults;
    std::vector<std::pair<emulator::Fault, double>> faultRates;  // the fault, its probability
    // A serial line instead of the embedded emulator (the bus configuration then only
    // describes what is on the line).
    std::optional<std::string> port;     // the channel's device
    std::optional<std::string> portMap;  // a port map file
    // The driver's trace: this file, or else the one the options file names.
    std::optional<std::string> traceFile;
    std::optional<std::int64_t> traceMaxKb;
};

struct DispenserOnBus {
    int number = 0;
    int nozzles = 0;
};

class Session {
  public:
    // Throws UsageError for a fault the emulator does not know and ConfigError for a bus
    // configuration it refuses.
    Session(const SessionOptions& options, std::ostream& out);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    TVM30& Driver();
    std::uint8_t Channel() const;
    emulator::Emulator& Bus();
    EmulatorLink& Link();

    // The dispensers that answer on the bus, in number order.
    std::vector<DispenserOnBus> Dispensers() const;
    // Nozzles of one dispenser, 0 when the bus has no such dispenser.
    int NozzleCount(int dispenser) const;

    // Lets the bus's time pass: the virtual clock is advanced, or the wall clock waited for.
    void Pass(std::chrono::milliseconds time);
    BusTime Time() const;

    // What a customer does at the dispenser; UsageError for a nozzle the bus lacks.
    void LiftNozzle(int dispenser, int nozzle, double presetLitres = 0);
    void HangUpNozzle(int dispenser, int nozzle);

    // The link's health counters.
    void PrintStats(std::ostream& out) const;

    // Exchanges so far on whichever line the session uses; the wire time only where the
    // line models it (the embedded emulator).
    struct ExchangeSummary {
        std::uint64_t exchanges = 0;
        std::uint64_t failed = 0;
        std::optional<double> wireSeconds;
        std::uint32_t baudRate = 0;
    };
    ExchangeSummary Summary() const;

    // Dispensers whose mode the driver has read in this run.
    bool ModeKnown(int dispenser) const;
    void MarkModeKnown(int dispenser);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// KIND or KIND@N, as the user names a fault.
FaultRequest ParseFault(const std::string& text);
// KIND=P: every reply the fault fits gets it with probability P.
std::pair<emulator::Fault, double> ParseFaultRate(const std::string& text);

}  // namespace fuel::cli
