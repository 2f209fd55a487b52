// The only file of the forecourt that knows the links by name.
#include "forecourt/Lines.h"

#include <iostream>

#include "emulator/Customers.h"
#include "emulator/Emulator.h"
#include "emulator/MemoryFile.h"
#include "link/EmulatorLink.h"
#include "link/SerialLink.h"

namespace fuel::forecourt {
namespace {

[[noreturn]] void Refuse(const Config& config, const LineConfig& line, const std::string& what) {
    throw ConfigErrorIn(config.file, line.portLine, "line", line.name, what);
}

// The embedded controllers' memory lives beside the journal, one file a line: the journal
// promises to recover every fill from its controller, which these must then outlive.
// Characters a file name cannot carry are written as %XX, so that two lines never share one.
std::filesystem::path MemoryPath(const Config& config, const LineConfig& line) {
    std::string name = config.database.filename().string() + ".";
    for (const char c : line.name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (plain) {
            name += c;
        } else {
            constexpr char kHex[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(c);
            name += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
        }
    }
    return config.database.parent_path() / (name + ".controllers");
}

OpenedLine OpenEmulator(const Config& config, const LineConfig& line) {
    emulator::Config bus;
    try {
        bus = emulator::LoadConfig(line.emulatorBus.string());
    } catch (const emulator::ConfigError& error) {
        Refuse(config, line, error.what());
    }
    // The customers lift the nozzles; a bus that lifted them by itself would start every
    // authorised nozzle whether anyone stood there or not.
    if (line.customers)
        bus.autoLift = false;

    // Destroyed from the last: the memory lets go of the customers and the bus first.
    struct Embedded {
        emulator::RealClock clock{true};
        std::unique_ptr<emulator::Emulator> bus;
        std::unique_ptr<emulator::Customers> customers;
        std::unique_ptr<emulator::MemoryFile> memory;
    };
    auto embedded = std::make_shared<Embedded>();
    embedded->bus = std::make_unique<emulator::Emulator>(std::move(bus), &embedded->clock);
    auto link = std::make_unique<EmulatorLink>(*embedded->bus, kChannel);
    const Line* counted = link.get();

    OpenedLine opened;
    opened.counters = [counted] { return counted->Counters(); };
    if (line.customers) {
        emulator::CustomerSettings settings;
        settings.seed = line.customerSeed;
        settings.arrivalMean = std::chrono::duration_cast<emulator::Duration>(
            std::chrono::duration<double>(line.customerEvery));
        embedded->customers = std::make_unique<emulator::Customers>(*embedded->bus, settings);
        emulator::Customers* customers = embedded->customers.get();
        opened.authorised = [customers](int address) {
            customers->Released(static_cast<std::uint8_t>(address));
        };
    }
    try {
        embedded->memory = std::make_unique<emulator::MemoryFile>(
            MemoryPath(config, line), *embedded->bus, embedded->customers.get());
    } catch (const emulator::MemoryError& error) {
        Refuse(config, line, error.what());
    }
    embedded->memory->onProblem = [name = line.name](const std::string& message) {
        std::cerr << "[line " << name << "]: " << message << std::endl;
    };
    emulator::Customers* customers = embedded->customers.get();
    emulator::MemoryFile* memory = embedded->memory.get();
    opened.afterCycle = [customers, memory] {
        if (customers != nullptr)
            customers->Step();
        memory->SaveIfDue();
    };
    opened.link = std::move(link);
    opened.keepAlive = std::move(embedded);
    return opened;
}

OpenedLine OpenSerial(const Config& config, const LineConfig& line) {
    PortMap map;
    try {
        map = PortMap::Parse(std::to_string(kChannel) + " " + line.port);
    } catch (const PortMapError& error) {
        std::string what = error.what();
        // The port map numbers its own lines; here there is one, and the file's line is ours.
        if (const auto colon = what.find(": "); what.starts_with("port map line")) {
            what = what.substr(colon + 2);
        }
        Refuse(config, line, what);
    }
    if (map.Find(kChannel) == nullptr)
        Refuse(config, line, "no port in \"" + line.port + "\"");
    auto link = std::make_unique<SerialLink>(std::move(map));
    const Line* counted = link.get();
    OpenedLine opened;
    opened.counters = [counted] { return counted->Counters(); };
    opened.link = std::move(link);
    return opened;
}

}  // namespace

OpenedLine OpenLine(const Config& config, const LineConfig& line) {
    return line.IsEmulator() ? OpenEmulator(config, line) : OpenSerial(config, line);
}

}  // namespace fuel::forecourt
