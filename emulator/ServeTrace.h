// The emulator's side of the exchanges in the driver's trace format: one "serve" line for
// each request it answered (or left unanswered), with the fault it shaped the reply with, so
// that a bench run reads like a station's trace and 'fuelctl trace' counts the faults where
// they were injected.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/TraceFormat.h"
#include "emulator/Emulator.h"

namespace fuel::emulator {

// number: the request's number from 1; channel 0 when the emulator does not know it.
TraceEvent ServeEvent(TraceStamp time, std::uint64_t number, std::uint32_t channel,
                      std::uint8_t dispenser, std::span<const std::uint8_t> request,
                      std::span<const std::uint8_t> reply, std::optional<Fault> fault,
                      Duration took);

}  // namespace fuel::emulator
