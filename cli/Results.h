// What the commands that print results find. Each command fills one of these once; the text
// form (the command's own file) and the JSON form (cli/Json.h) are both drawn from it, so the
// two cannot tell different numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/Format.h"
#include "cli/Session.h"
#include "tool/ParameterValue.h"

namespace fuel::cli {

struct NozzleReading {
    int nozzle = 0;
    std::uint8_t code = 0;  // the host status code of the nozzle's word
    Quantity volume;
};

// One poll of a dispenser (`status`, a row of `monitor`).
struct DispenserReading {
    int dispenser = 0;
    int channel = 0;
    std::uint8_t summary = 0;  // the record's summary status code
    std::uint8_t mode = 0;     // as the driver caches it; 0 not read yet
    std::uint8_t volumeDecimals = 0;
    std::uint8_t moneyDecimals = 0;
    std::vector<NozzleReading> nozzles;
};

// `data` and `final`.
struct FillReading {
    int dispenser = 0;
    int nozzle = 0;
    Quantity volume;
    Quantity amount;
    std::uint8_t summary = 0;  // the poll's summary before the read
    bool final = false;
    bool limitsCleared = false;  // final only: not in mode '0'
};

struct TotaliserReading {
    int dispenser = 0;
    int nozzle = 0;
    Quantity volume;
};

struct CellReading {
    std::uint32_t address = 0;
    std::int32_t cell = 0;  // as the driver numbers it: 256 + k is ROM cell k
    std::int32_t value = 0;
};

struct DriverDescription {
    std::string version;
    std::string protocol;
    bool origAdres = false;
    bool startInLiter = false;
    bool wStart = false;
    bool wDoza = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> properties;  // key, value
    std::vector<DispenserOnBus> bus;
};

// A failure as the program reports it: the exception's class ("ESerialIO", "Failure",
// "UsageError", ...), its message, and a hint when the program has one.
struct ErrorReport {
    std::string className;
    std::string message;
    std::string hint;
};

struct MonitorRow {
    int dispenser = 0;
    std::optional<DispenserReading> reading;  // or
    std::optional<ErrorReport> error;
};

struct MonitorRefresh {
    std::int64_t refresh = 0;
    int channel = 0;
    std::vector<MonitorRow> rows;
};

// `param read`.
struct ParameterReading {
    std::string controller;
    std::string parameter;
    std::uint32_t address = 0;
    int channel = 0;
    std::string line;  // "emulator", the device, or "port map FILE"
    tool::ValueLayout layout;
    tool::ShownValue value;
};

// `param nozzles`: each active-nozzle cell of the controller and the nozzle it names.
struct ActiveNozzle {
    std::uint8_t cell = 0;               // 0: the controller has no such cell
    std::optional<std::int32_t> nozzle;  // absent for cell 0 and when the read failed
    std::optional<ErrorReport> error;    // the read failed
};

struct ActiveNozzleReading {
    std::string controller;
    std::uint32_t address = 0;
    int channel = 0;
    std::string line;
    std::vector<ActiveNozzle> cells;
};

// `adjust`, the calculator: shown with four decimals.
struct CoefficientReading {
    double coefficient = 0;
};

}  // namespace fuel::cli
