// The port map's text form and the converter addresses in it: whatever a file holds, the
// parser returns a map or refuses with a PortMapError, and an address parses or is refused
// with std::invalid_argument; nothing else escapes.
#include <stdexcept>
#include <string>
#include <string_view>

#include "link/SerialLink.h"
#include "link/TcpPort.h"

namespace {

void ParseMap(const std::string& text) {
    try {
        const fuel::PortMap map = fuel::PortMap::Parse(text);
        for (const auto& [channel, port] : map.Entries()) {
            if (channel < 1 || channel > 32 || port.device.empty() ||
                (port.IsTcp() && fuel::ParseTcpAddress(port.device).port == 0)) {
                __builtin_trap();
            }
        }
    } catch (const fuel::PortMapError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ParseMap(text);
    // Random bytes seldom spell the scheme: give it to them.
    ParseMap("1 tcp://" + text);
    try {
        const fuel::TcpAddress address = fuel::ParseTcpAddress("tcp://" + text);
        if (address.host.empty() || address.port == 0) {
            __builtin_trap();
        }
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
