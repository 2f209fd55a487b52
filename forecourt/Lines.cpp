// The only file of the forecourt that knows the links by name.
#include "forecourt/Lines.h"

#include "emulator/Customers.h"
#include "emulator/Emulator.h"
#include "link/EmulatorLink.h"
#include "link/SerialLink.h"

namespace fuel::forecourt {
namespace {

[[noreturn]] void Refuse(const Config& config, const LineConfig& line, const std::string& what) {
    throw ConfigErrorIn(config.file, line.portLine, "line", line.name, what);
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

    struct Embedded {
        emulator::RealClock clock{true};
        std::unique_ptr<emulator::Emulator> bus;
        std::unique_ptr<emulator::Customers> customers;
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
        opened.afterCycle = [customers] { customers->Step(); };
        opened.authorised = [customers](int address) {
            customers->Released(static_cast<std::uint8_t>(address));
        };
    }
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
