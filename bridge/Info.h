// Who the station is, as its retained stations/{station}/info tells the chain (the payload is
// described in bridge/Topics.h): a plain function of the broker section, the program's
// version and the forecourt's snapshot, so that the same state always gives the same text
// and an unchanged one need not go out again.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "bridge/BrokerConfig.h"
#include "forecourt/Forecourt.h"

namespace fuel::bridge {

nlohmann::json StationInfo(const BrokerConfig& config, std::string_view version,
                           const forecourt::Snapshot& snapshot);

}  // namespace fuel::bridge
