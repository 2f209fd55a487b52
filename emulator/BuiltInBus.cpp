#include "emulator/BuiltInBus.h"

namespace fuel::emulator {

Config BuiltInConfig() {
    return ParseConfig(BuiltInBusFiles().front().second);
}

}  // namespace fuel::emulator
