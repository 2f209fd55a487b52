#include "bridge/Info.h"

namespace fuel::bridge {

nlohmann::json StationInfo(const BrokerConfig& config, std::string_view version,
                           const forecourt::Snapshot& snapshot) {
    nlohmann::json grades = nlohmann::json::array();
    for (const forecourt::Grade& grade : snapshot.grades) {
        grades.push_back(forecourt::ToJson(grade));
    }
    // Only what the fuel points are made of: their states change every fill and have
    // events of their own.
    nlohmann::json fuelPoints = nlohmann::json::array();
    for (const forecourt::FuelPointView& point : snapshot.fuelPoints) {
        nlohmann::json nozzles = nlohmann::json::array();
        for (const forecourt::NozzleView& nozzle : point.nozzles) {
            nozzles.push_back({{"number", nozzle.number}, {"grade", nozzle.grade}});
        }
        fuelPoints.push_back({{"id", point.id}, {"nozzles", std::move(nozzles)}});
    }
    return {{"station", config.station},
            {"groups", config.groups},
            {"version", version},
            {"grades", std::move(grades)},
            {"fuelPoints", std::move(fuelPoints)}};
}

}  // namespace fuel::bridge
