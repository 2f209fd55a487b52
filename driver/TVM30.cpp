#include "driver/TVM30.h"

#include <cstdlib>

#include "driver/IniFile.h"
#include "driver/TraceSettings.h"
#include "driver/TracedDriver.h"

namespace fuel {
namespace {

constexpr std::uint8_t kFlagStartInLiterOff = 0x10;
constexpr std::uint8_t kFlagWStart = 0x20;
constexpr std::uint8_t kFlagWDoza = 0x40;

constexpr char kOptionsSection[] = "Varno";

TVM30* libraryDriver = nullptr;

}  // namespace

std::string DefaultCnfIniPath() {
    if (const char* path = std::getenv("CNF_INI"); path != nullptr && *path != '\0') {
        return path;
    }
    return "/etc/cnf.INI";
}

TVM30::TVM30(std::uint32_t flags, fuel::HostLink* hostLink, const std::string& cnfIniPath)
    : HostLink(hostLink) {
    const auto flagsByte = static_cast<std::uint8_t>(flags & 0xFF);
    WStart = (flagsByte & kFlagWStart) != 0;
    WDoza = (flagsByte & kFlagWDoza) != 0;
    StartInLiter = (flagsByte & kFlagStartInLiterOff) == 0;
    ReadOptions(cnfIniPath);
}

void TVM30::ReadOptions(const std::string& cnfIniPath) {
    const IniFile ini = IniFile::Load(cnfIniPath);
    OrigAdres = ini.ReadBool(kOptionsSection, "OrigAdres", OrigAdres);
    StartInLiter = ini.ReadBool(kOptionsSection, "StartInLiter", StartInLiter);
    WStart = ini.ReadBool(kOptionsSection, "WStart", WStart);
    WDoza = ini.ReadBool(kOptionsSection, "WDoza", WDoza);
}

void TVM30::SetOptions(const DriverOptions& options) {
    OrigAdres = options.OrigAdres;
    StartInLiter = options.StartInLiter;
    WStart = options.WStart;
    WDoza = options.WDoza;
}

void TVM30::RestoreDispenser(std::int64_t channel, std::int64_t dispenser,
                             const DispenserState& state) {
    SetDispenser(channel, dispenser, state);
    TablesChanged(channel, dispenser);
}

void TVM30::RestoreLinkState(std::int64_t channel, std::uint8_t state) {
    LinkState[channel] = state;
    TablesChanged(channel, 0);
}

void TVM30::SelectNozzle(std::int64_t channel, std::int64_t dispenser, std::uint8_t nozzle) {
    CurrentNozzle[channel][dispenser] = nozzle;
    TablesChanged(channel, dispenser);
}

void TVM30::TablesChanged(std::int64_t, std::int64_t) {}

void TVM30::AbstractOperation() {
    throw EAbstractError();
}

std::string TVM30::GetProtocolDescription() {
    return "v2.50#Протокол к ТРК-ВАРНО";
}

void TVM30::SetLinkState(std::uint8_t channel, std::uint8_t value) {
    LinkState[channel] = value;
}

std::uint8_t TVM30::GetLinkState(std::uint8_t channel) {
    return LinkState[channel];
}

std::int32_t TVM30::ReservedQuery(std::uint32_t) {
    return 0;
}

void TVM30::ReservedOperationA(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                               std::uint32_t, std::uint32_t, std::uint32_t) {}

void TVM30::ReservedOperationB(std::uint32_t, std::uint32_t, std::uint32_t) {}

void TVM30::ReservedOperationC(std::uint32_t, std::uint32_t) {}

void TVM30::ReservedOperationD(std::uint32_t, std::uint32_t) {}

TVM30* CreateDriver(std::uint32_t flags, fuel::HostLink* hostLink, const std::string& cnfIniPath,
                    std::shared_ptr<TraceSink> sink) {
    if (!sink) {
        if (auto settings = ReadTraceSettings(IniFile::Load(cnfIniPath), cnfIniPath)) {
            sink = std::make_shared<TraceFile>(std::move(*settings), "driver", nullptr);
        }
    }
    TVM30* driver = sink ? new TracedDriver(flags, hostLink, cnfIniPath, std::move(sink))
                         : new TVM30(flags, hostLink, cnfIniPath);
    libraryDriver = driver;
    return driver;
}

TVM30* GetVE30(std::uint32_t flags, std::uint32_t, fuel::HostLink* hostLink) {
    return CreateDriver(flags, hostLink, DefaultCnfIniPath());
}

TVM30* GetDriver25(std::uint32_t flags, std::uint32_t, fuel::HostLink* hostLink, std::uint32_t,
                   std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
    return CreateDriver(flags, hostLink, DefaultCnfIniPath());
}

TVM30* LibraryDriver() {
    return libraryDriver;
}

}  // namespace fuel
