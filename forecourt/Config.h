// The station's configuration: a small INI file. Sections name what they configure and its
// name or number; '#' or ';' starts a comment line; keys are "name = value".
//
//     [forecourt]
//     database = forecourt.db        relative paths are taken from the file's directory
//     sale-buffer = 2                uncleared sales a fuel point may hold (default 2)
//     tolerance = 0.05               litres a nozzle's reconciliation lets pass (default 0.05)
//     keep-events-days = 90          days an event is kept (default 90; 0: for ever), and
//                                    never one the broker has not acknowledged
//     keep-sales-years = 10          years a cleared sale and a totaliser reading are kept
//                                    (default 10; 0: for ever)
//     keep-requests-days = 7         days an idempotency key answers as it first did
//                                    (default 7; 0: for ever)
//
//     [line north]
//     port = /dev/ttyUSB0 baud=4800 timeout=75 attempts=3
//         or tcp://10.0.0.7:4001 timeout=150, or emulator:../bus/station.conf
//     driver-options = /etc/cnf.INI  the driver's options file (section "Varno"); default none
//     customers = yes                emulator only: emulated customers (default no)
//     customer-seed = 7              emulator only: their random seed (default 1)
//     customer-every = 60            emulator only: mean seconds between unasked customers
//
//     [grade 95]
//     name = Super 95
//     price = 45.67
//
//     [fuel-point 1]
//     line = north
//     address = 1                    the dispenser's number on the line, 1..32
//     nozzles = 95 92                the grade of nozzle 1, 2 ... (1..6 nozzles)
//     sale-buffer = 2                overrides the forecourt's
//
// Everything is checked before anything starts; the first problem is thrown as a
// ConfigError whose message is "FILE:LINE: what is wrong" (forecourt/ConfigReader.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "forecourt/ConfigReader.h"
#include "forecourt/Model.h"

namespace fuel::forecourt {

struct LineConfig {
    std::string name;
    // The port as a serial line's port map writes it: a device or tcp://HOST:PORT, then its
    // settings; or "emulator:" and a bus file.
    std::string port;
    std::filesystem::path emulatorBus;    // set for an emulator line, absolute
    std::filesystem::path driverOptions;  // empty: the driver's defaults
    bool customers = false;
    std::uint64_t customerSeed = 1;
    double customerEvery = 60;  // seconds
    int sourceLine = 0;         // where the section starts, for messages
    int portLine = 0;

    bool IsEmulator() const { return !emulatorBus.empty(); }
};

struct GradeConfig {
    std::string code;
    std::string name;
    double price = 0;
    int sourceLine = 0;
};

struct FuelPointConfig {
    int id = 0;
    std::string line;
    int address = 0;
    std::vector<std::string> nozzles;  // grade codes of nozzles 1, 2 ...
    int saleBuffer = 2;
    // Who releases its fills: a till through the API (a fill that starts otherwise raises an
    // alarm), or the pump itself (release = pump: a controller that dispenses on its own,
    // whose fills are sales all the same).
    Origin release = Origin::Api;
    int sourceLine = 0;
};

// How long the journal keeps what it holds; 0 keeps it for ever. An uncleared sale and a fill
// still running are kept whatever their age, and so is each nozzle's last reading.
struct RetentionConfig {
    int eventDays = 90;
    int saleYears = 10;  // sales and totaliser readings: fiscal rules ask for years
    int requestDays = 7;
};

struct Config {
    std::filesystem::path file;
    std::filesystem::path database;  // absolute
    int saleBuffer = 2;
    double tolerance = 0.05;
    RetentionConfig retention;
    std::vector<LineConfig> lines;
    std::vector<GradeConfig> grades;
    std::vector<FuelPointConfig> fuelPoints;  // in ascending id order
    // Of the kinds the caller named, in file order, as read (forecourt/ConfigReader.h): a
    // layer above the forecourt gives them meaning with a SectionReader of its own.
    std::vector<ConfigSection> layerSections;

    const LineConfig* Line(std::string_view name) const;
    const GradeConfig* Grade(std::string_view code) const;
    const FuelPointConfig* FuelPoint(int id) const;
};

// The file's name goes into every message; relative paths are taken from its directory.
// Sections of the kinds in layerKinds are kept, unread, in layerSections; any other kind
// the forecourt does not know is refused.
Config ParseConfig(std::string_view text, const std::filesystem::path& file,
                   const std::vector<std::string>& layerKinds = {});
// Throws ConfigError also when the file cannot be read.
Config LoadConfig(const std::filesystem::path& file,
                  const std::vector<std::string>& layerKinds = {});

// The example station's configuration that ships with the program, when it is found (in
// the source tree or where it is installed); empty otherwise.
std::filesystem::path DefaultConfigPath();

// The station a program runs: the configuration FILE, or with none the example station,
// whose journal then lives in the working directory (where the example is installed is
// nobody's to write, and a source tree is no place for a journal); DATABASE, when given,
// instead of the configuration's. Throws ConfigError when there is no FILE and no example.
Config LoadStation(const std::filesystem::path& file, const std::filesystem::path& database,
                   const std::vector<std::string>& layerKinds = {});

}  // namespace fuel::forecourt
