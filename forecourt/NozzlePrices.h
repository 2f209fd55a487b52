// The unit prices of one fuel point's nozzles: the one each controller confirmed (read back
// after it was sent), and a new one waiting to go out. A price never goes to a nozzle in the
// middle of a fill (the fill runs at the price it started at): it waits for the fill's end.
#pragma once

#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace fuel::forecourt {

class ControllerAdapter;

class NozzlePrices {
  public:
    // One entry of a price change's report: {"fuelPoint", "nozzle", "confirmed", "deferred",
    // "takesNoPrice", "error"}.
    static nlohmann::json ReportEntry(int fuelPoint, int nozzle, bool confirmed, bool deferred,
                                      const nlohmann::json& error, bool takesNoPrice = false);
    // A controller that dispenses on its own keeps no price of ours: it is told so, every
    // time, and that is no failure of the change.
    static nlohmann::json TakesNoPrice(int fuelPoint, int nozzle);

    explicit NozzlePrices(std::size_t nozzles) : nozzles_(nozzles) {}

    // The price the nozzle is to take, at the first moment it is free.
    void Want(int nozzle, double price) { At(nozzle).pending = price; }
    bool Waiting(int nozzle) const { return At(nozzle).pending.has_value(); }
    void Forget(int nozzle) { At(nozzle).pending.reset(); }
    // 0 before the controller confirmed any.
    double Confirmed(int nozzle) const { return At(nozzle).confirmed; }
    // The price a fill at the nozzle runs at: the one its controller confirmed, else (one
    // that never read back) the one last sent to it.
    double PriceOf(int nozzle, const ControllerAdapter& controller, int address) const;

    // Sends the waiting price to the controller and reads it back: the report's entry. A
    // price the controller did not answer for stays waiting; one it read back otherwise is
    // reported with what it holds.
    nlohmann::json Send(int nozzle, ControllerAdapter& controller, int address, int fuelPoint);

  private:
    struct Nozzle {
        double confirmed = 0;
        std::optional<double> pending;
    };
    Nozzle& At(int nozzle) { return nozzles_.at(static_cast<std::size_t>(nozzle - 1)); }
    const Nozzle& At(int nozzle) const { return nozzles_.at(static_cast<std::size_t>(nozzle - 1)); }

    std::vector<Nozzle> nozzles_;
};

}  // namespace fuel::forecourt
