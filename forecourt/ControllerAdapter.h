// One line's controllers as the forecourt speaks to them: every call into the driver goes
// through here, on the line's loop thread. It owns the driver object over the line's link,
// and what the driver itself remembers between calls (the nozzle a dispenser's next command
// goes to, the price it reads a fill at) is kept in step here, so that the fill rules above
// never need to know of it.
//
// The commands throw the driver's Exception when the controller does not answer (the line
// has already retried); an answer that makes no sense is told apart where it matters.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "driver/HostLink.h"
#include "forecourt/FillMachine.h"

namespace fuel {
class TVM30;
}

namespace fuel::forecourt {

class ControllerAdapter {
  public:
    // Opens the line on the driver: a port that does not open shows as silent polls.
    ControllerAdapter(HostLink& link, const std::filesystem::path& driverOptions);
    ~ControllerAdapter();
    ControllerAdapter(const ControllerAdapter&) = delete;
    ControllerAdapter& operator=(const ControllerAdapter&) = delete;

    enum class Heard { Answer, Silence, Nonsense };
    struct Poll {
        Heard heard = Heard::Silence;
        PollReading reading;  // with Answer: the codes, volumes and mode (not the prices)
    };
    Poll PollPoint(int address, int nozzles);

    // The nozzle's volume totaliser. Throws Exception, also for a garbled reply.
    double ReadTotal(int address, int nozzle);
    // The preset (none: the controller's own limit), then the start.
    void Start(int address, int nozzle, const Preset& preset);
    void Stop(int address, int nozzle);
    // The ended fill's volume and amount, read at the fill's price (0: whatever the driver
    // holds); nullopt when the reply was garbled.
    struct Final {
        double volume = 0;
        double amount = 0;
    };
    std::optional<Final> ReadFinal(int address, int nozzle, double price);
    // Sends the price and reads it back: what the controller holds, in hundredths.
    std::int32_t SetPrice(int address, int nozzle, double price);
    // The price last sent to the nozzle, which the driver computes a fill's amount with.
    std::optional<double> SentPrice(int address, int nozzle) const;

  private:
    void SelectNozzle(int address, int nozzle);
    void UseDriverPrice(int address, int nozzle, double price);
    bool Garbled() const;

    HostLink& link_;
    std::unique_ptr<TVM30> driver_;
    std::array<std::array<std::optional<double>, 7>, 33> sentPrices_{};
};

}  // namespace fuel::forecourt
