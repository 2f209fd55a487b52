#include "emulator/Customers.h"

namespace fuel::emulator {

Customers::Customers(Emulator& bus, CustomerSettings settings)
    : bus_(bus), settings_(settings), random_(settings.seed) {
    for (const DispenserConfig& dispenser : bus_.Configuration().dispensers) {
        Pump pump;
        pump.dispenser = dispenser.number;
        pump.nozzles = dispenser.nozzles;
        pump.at = bus_.Now() + NextArrival();
        pumps_.push_back(pump);
    }
}

Duration Customers::Draw(Duration low, Duration high) {
    if (high <= low)
        return low;
    std::uniform_int_distribution<Duration::rep> draw(low.count(), high.count());
    return Duration(draw(random_));
}

Duration Customers::NextArrival() {
    std::exponential_distribution<double> draw(1.0);
    return std::chrono::duration_cast<Duration>(settings_.arrivalMean * draw(random_));
}

void Customers::Released(std::uint8_t dispenser) {
    for (Pump& pump : pumps_) {
        if (pump.dispenser == dispenser && pump.phase == Phase::Away) {
            pump.phase = Phase::Walking;
            pump.at = bus_.Now() + Draw(settings_.walkMin, settings_.walkMax);
            if (onMemoryChanged)
                onMemoryChanged();
        }
    }
}

std::vector<CustomerMemory> Customers::Remember(WallTime clockStart) const {
    std::vector<CustomerMemory> memory;
    for (const Pump& pump : pumps_) {
        if (pump.phase != Phase::Away)
            memory.push_back(
                {pump.dispenser, pump.phase, pump.nozzle, pump.litres, clockStart + pump.at});
    }
    return memory;
}

void Customers::Restore(std::span<const CustomerMemory> memory, WallTime clockStart) {
    const auto pumpOf = [&](const CustomerMemory& kept) -> Pump& {
        for (Pump& pump : pumps_) {
            if (pump.dispenser == kept.dispenser)
                return pump;
        }
        throw MemoryError("a customer is at dispenser " + std::to_string(kept.dispenser) +
                          ", which is not on the bus");
    };
    for (const CustomerMemory& kept : memory) {
        const Pump& pump = pumpOf(kept);
        const bool holds = kept.phase == Phase::Waiting || kept.phase == Phase::Fuelling;
        const bool fits = holds ? kept.nozzle >= 1 && kept.nozzle <= pump.nozzles
                                : kept.phase == Phase::Walking && kept.nozzle == 0;
        if (!fits)
            throw MemoryError("the customer at dispenser " + std::to_string(kept.dispenser) +
                              " holds a nozzle it does not have");
    }
    for (const CustomerMemory& kept : memory) {
        Pump& pump = pumpOf(kept);
        pump.phase = kept.phase;
        pump.nozzle = kept.nozzle;
        pump.litres = kept.litres;
        pump.at = kept.at - clockStart;
        if (pump.nozzle == 0)
            continue;
        const NozzleView view = bus_.Nozzle(pump.dispenser, pump.nozzle);
        if (view.phase == NozzlePhase::Running && view.volumeDose <= 0 && view.moneyDose <= 0)
            bus_.HangUpWhenReached(pump.dispenser, pump.nozzle, pump.litres);
    }
}

void Customers::Lift(Pump& pump) {
    std::uniform_int_distribution<int> nozzle(1, pump.nozzles);
    std::uniform_real_distribution<double> litres(settings_.litresMin, settings_.litresMax);
    pump.nozzle = static_cast<std::uint8_t>(nozzle(random_));
    pump.litres = litres(random_);
    pump.phase = Phase::Waiting;
    pump.at = bus_.Now();
    bus_.LiftNozzle(pump.dispenser, pump.nozzle);
}

void Customers::Leave(Pump& pump) {
    // Gone before the nozzle is back, so that the memory the hang-up saves has them gone.
    const std::uint8_t nozzle = pump.nozzle;
    pump.phase = Phase::Away;
    pump.nozzle = 0;
    pump.at = bus_.Now() + NextArrival();
    bus_.HangUpNozzle(pump.dispenser, nozzle);
}

void Customers::Step() {
    const Duration now = bus_.Now();
    for (Pump& pump : pumps_) {
        switch (pump.phase) {
            case Phase::Away:
                if (!closed_ && now >= pump.at)
                    Lift(pump);
                break;
            case Phase::Walking:
                if (now >= pump.at)
                    Lift(pump);
                break;
            case Phase::Waiting: {
                const NozzleView view = bus_.Nozzle(pump.dispenser, pump.nozzle);
                // A lifted nozzle waits; one that has run since (a short dose, between two
                // steps) has ended its fill.
                const bool ranAndEnded =
                    view.phase == NozzlePhase::Ended || view.phase == NozzlePhase::Stopped;
                if (view.phase == NozzlePhase::Running || ranAndEnded) {
                    pump.phase = Phase::Fuelling;
                } else if (now - pump.at >= settings_.patience) {
                    Leave(pump);
                    break;
                }
                if (!ranAndEnded)
                    break;
                [[fallthrough]];
            }
            case Phase::Fuelling: {
                const NozzleView view = bus_.Nozzle(pump.dispenser, pump.nozzle);
                const bool dosed = view.volumeDose > 0 || view.moneyDose > 0;
                const bool ended = view.phase != NozzlePhase::Running;
                if (ended || (!dosed && view.volume >= pump.litres)) {
                    const std::uint8_t nozzle = pump.nozzle;
                    Leave(pump);
                    const NozzleView fill = bus_.Nozzle(pump.dispenser, nozzle);
                    if (onFillEnded && fill.volume > 0) {
                        onFillEnded(pump.dispenser, nozzle, fill);
                    }
                }
                break;
            }
        }
    }
}

}  // namespace fuel::emulator
