#include "tool/DriverOptionsFile.h"

#include "tool/AtomicFile.h"

namespace fuel::tool {

void WriteDriverOptions(const std::filesystem::path& cnfIni, const DriverOptions& options) {
    UpdateIniFile(cnfIni, [&options](IniFile& ini) {
        ini.WriteBool("Varno", "OrigAdres", options.origAdres);
        ini.WriteBool("Varno", "StartInLiter", options.startInLiter);
        ini.WriteBool("Varno", "WStart", options.wStart);
        ini.WriteBool("Varno", "WDoza", options.wDoza);
    });
}

}  // namespace fuel::tool
