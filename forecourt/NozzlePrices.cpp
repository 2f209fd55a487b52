#include "forecourt/NozzlePrices.h"

#include <cmath>
#include <string>

#include "driver/Exceptions.h"
#include "forecourt/ControllerAdapter.h"

namespace fuel::forecourt {

nlohmann::json NozzlePrices::ReportEntry(int fuelPoint, int nozzle, bool confirmed, bool deferred,
                                         const nlohmann::json& error, bool takesNoPrice) {
    return {{"fuelPoint", fuelPoint},       {"nozzle", nozzle},
            {"confirmed", confirmed},       {"deferred", deferred},
            {"takesNoPrice", takesNoPrice}, {"error", error}};
}

nlohmann::json NozzlePrices::TakesNoPrice(int fuelPoint, int nozzle) {
    return ReportEntry(fuelPoint, nozzle, false, false,
                       "the controller of fuel point " + std::to_string(fuelPoint) +
                           " dispenses on its own and takes no price",
                       true);
}

double NozzlePrices::PriceOf(int nozzle, const ControllerAdapter& controller, int address) const {
    if (At(nozzle).confirmed > 0)
        return At(nozzle).confirmed;
    return controller.SentPrice(address, nozzle).value_or(0);
}

nlohmann::json NozzlePrices::Send(int nozzle, ControllerAdapter& controller, int address,
                                  int fuelPoint) {
    Nozzle& at = At(nozzle);
    const double price = *at.pending;
    try {
        const std::int32_t readBack = controller.SetPrice(address, nozzle, price);
        at.pending.reset();
        if (readBack == static_cast<std::int32_t>(std::lround(price * 100))) {
            at.confirmed = price;
            return ReportEntry(fuelPoint, nozzle, true, false, nullptr);
        }
        return ReportEntry(fuelPoint, nozzle, false, false,
                           "the controller reads back " + std::to_string(readBack / 100) + "." +
                               std::to_string(readBack % 100 / 10) + std::to_string(readBack % 10));
    } catch (const Exception& error) {
        // No answer: the price stays waiting and goes out when the controller answers.
        return ReportEntry(fuelPoint, nozzle, false, false, error.Message());
    }
}

}  // namespace fuel::forecourt
