// The people at the pumps, for a forecourt that runs with no hardware: one customer at a time
// per dispenser. A customer told that a pump is released (the cashier's word, Released)
// walks up and lifts a nozzle a moment later; now and then one comes unprompted and lifts a
// nozzle of a pump nobody released, waits a while to be served, and leaves if nobody starts
// the pump. A customer whose fill is running hangs the nozzle up when the fill ends (its
// dose reached, or stopped), or, with no dose, at the volume they came for.
//
// Driven by the bus's clock (Step at its current time) and by a seeded generator, so that a
// run is repeatable: the same seed and the same calls give the same customers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "emulator/Emulator.h"
#include "emulator/Memory.h"

namespace fuel::emulator {

struct CustomerSettings {
    std::uint64_t seed = 1;
    // Mean time between unprompted customers at one pump (exponentially distributed).
    Duration arrivalMean = std::chrono::seconds(60);
    // From the cashier's word to the lifted nozzle.
    Duration walkMin = std::chrono::milliseconds(500);
    Duration walkMax = std::chrono::seconds(3);
    // How long a customer waits with a lifted nozzle for the pump to start.
    Duration patience = std::chrono::seconds(20);
    // The volume a customer takes when the pump sets no dose, drawn from this range.
    double litresMin = 3;
    double litresMax = 30;
};

class Customers {
  public:
    // The customers use the bus's dispensers as its configuration lists them. The bus must
    // outlive them.
    Customers(Emulator& bus, CustomerSettings settings);

    // The cashier's word: the dispenser is released; its next customer comes now.
    void Released(std::uint8_t dispenser);
    // Lets every customer act at the bus's current time.
    void Step();
    // Closing time: nobody comes unprompted any more. Those at the pumps finish, and the
    // cashier's word still brings one.
    void StopComing() { closed_ = true; }

    // Called when a customer hangs up after a fill that delivered fuel: the nozzle as it was
    // when the fill ended (its volume, amount and totaliser).
    std::function<void(std::uint8_t dispenser, std::uint8_t nozzle, const NozzleView& fill)>
        onFillEnded;

    // Who stands where, for a bus that outlives its process (emulator/MemoryFile.h): called
    // when a customer is sent to a pump; what a customer does with a nozzle reaches the
    // bus's own onMemoryChanged, by which time this memory says it too.
    std::function<void()> onMemoryChanged;
    // The pumps with someone at them; `clockStart` is the wall time at which the bus's clock
    // read zero (as for Emulator::Remember).
    std::vector<CustomerMemory> Remember(WallTime clockStart) const;
    // Puts back the customers Remember gave, after the bus's own memory (with the same
    // `clockStart`). A customer who wanted a volume the fill has passed since has hung up
    // at it. Throws MemoryError, having changed nothing, for a pump or a nozzle the bus lacks.
    void Restore(std::span<const CustomerMemory> memory, WallTime clockStart);

  private:
    using Phase = CustomerPhase;
    struct Pump {
        std::uint8_t dispenser = 0;
        std::uint8_t nozzles = 1;
        Phase phase = Phase::Away;
        Duration at{};  // Away: next arrival; Walking: the lift; Waiting: since
        std::uint8_t nozzle = 0;
        double litres = 0;  // the volume wanted when the pump sets no dose
    };

    bool closed_ = false;

    Duration Draw(Duration low, Duration high);
    Duration NextArrival();
    void Lift(Pump& pump);
    void Leave(Pump& pump);

    Emulator& bus_;
    CustomerSettings settings_;
    std::mt19937_64 random_;
    std::vector<Pump> pumps_;
};

}  // namespace fuel::emulator
