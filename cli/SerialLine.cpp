#include "cli/SerialLine.h"

#include <ostream>

#include "cli/Arguments.h"
#include "link/TcpPort.h"

namespace fuel::cli {

SerialLine::SerialLine(const std::optional<std::string>& port,
                       const std::optional<std::string>& portMap, std::uint8_t channel,
                       std::optional<int> retries, std::ostream& out) {
    PortMap map;
    if (portMap) {
        try {
            map = PortMap::Load(*portMap);
        } catch (const PortMapError& error) {
            throw UsageError(error.what());
        }
    }
    if (port) {
        PortSettings settings;
        if (const PortSettings* mapped = map.Find(channel)) {
            settings = *mapped;
            if (mapped->IsTcp() != IsTcpDevice(*port)) {
                // The map's entry is for the other kind of line: what only that kind has
                // stays behind; the time-outs, the baud rate and the retries carry over.
                settings.connectTimeout.reset();
                settings.dataBits = 8;
                settings.parity = Parity::None;
                settings.stopBits = 1;
            }
        }
        settings.device = *port;
        try {
            map.Assign(channel, settings);
        } catch (const PortMapError& error) {
            throw UsageError("--port: " + std::string(error.what()));
        }
    }
    if (map.Find(channel) == nullptr) {
        throw UsageError("the port map gives no device for channel " + std::to_string(channel));
    }
    if (retries) {
        PortSettings settings = *map.Find(channel);
        settings.retry = RetryPolicy::WithRetries(*retries);
        try {
            map.Assign(channel, settings);
        } catch (const PortMapError& error) {
            throw UsageError("--retries: " + std::string(error.what()));
        }
    }
    link_ = std::make_unique<SerialLink>(std::move(map));

    link_->onPortFailure = [&out](std::uint32_t, const std::string& problem) {
        out << "  !! " << problem << "\n";
    };
}

}  // namespace fuel::cli
