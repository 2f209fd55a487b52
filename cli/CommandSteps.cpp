// The steps several commands take: operands that name a dispenser or a nozzle, a poll as a
// host makes it, the link judged after a reply, and a person's consent to a change.
#include <algorithm>
#include <istream>
#include <ostream>
#include <string>

#include "cli/Commands.h"
#include "cli/Terminal.h"

namespace fuel::cli {

std::uint8_t DispenserOperand(const std::string& word) {
    return static_cast<std::uint8_t>(ParseInteger(word, "dispenser", 1, kDispensers));
}

std::uint8_t NozzleOperand(const std::string& word) {
    return static_cast<std::uint8_t>(ParseInteger(word, "nozzle", 1, kNozzles));
}

int NozzlesToPoll(Session& session, std::uint8_t dispenser) {
    // In mode '0' the driver keeps one status word for the dispenser and reads it by the
    // poll's nozzle count, so a host polls such a dispenser with a count of 1.
    const std::uint8_t cached =
        session.Driver().Tables().DispenserMode[session.Channel()][dispenser];
    const bool modeZero =
        cached == kModeZero || (cached == 0 && session.NozzleCount(dispenser) > 0 &&
                                session.Bus().Mode(dispenser) == kModeZero);
    return modeZero ? 1 : std::max(1, session.NozzleCount(dispenser));
}

StatusRecordEx PollDispenser(Session& session, std::uint8_t dispenser, int count) {
    if (count == 0) {
        count = NozzlesToPoll(session, dispenser);
    }
    StatusRecordEx record;
    session.Driver().PollDispenserStatusEx(session.Channel(), dispenser,
                                           static_cast<std::uint8_t>(count), record);
    RequireGoodLink(session, "the status poll");
    return record;
}

void RequireGoodLink(Session& session, std::string_view what) {
    if (session.Driver().Tables().LinkState[session.Channel()] != link_state::kGood) {
        throw Failure("the reply to " + std::string(what) +
                      " was garbled or implausible (link state " +
                      std::to_string(session.Driver().Tables().LinkState[session.Channel()]) + ")");
    }
}

DispenserReading DescribePoll(Session& session, std::uint8_t dispenser,
                              const StatusRecordEx& record, int polled) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    DispenserReading reading;
    reading.dispenser = dispenser;
    reading.channel = channel;
    reading.summary = record.bytes[0];
    reading.mode = driver.Tables().DispenserMode[channel][dispenser];
    reading.volumeDecimals = driver.Tables().VolumeDecimals[channel][dispenser];
    reading.moneyDecimals = driver.Tables().MoneyDecimals[channel][dispenser];
    const int decimals = VolumeDecimalsShown(session, dispenser);
    for (int nozzle = 1; nozzle <= polled; ++nozzle) {
        const auto at = static_cast<std::size_t>(2 + 2 * (nozzle - 1));
        // The word's low byte is the host status code; the high byte is the driver's own.
        reading.nozzles.push_back(
            {nozzle,
             record.bytes[at],
             {driver.Tables().NozzleVolume[channel][dispenser][nozzle], decimals}});
    }
    return reading;
}

// A controller in modes 0x40..0x47 counts in its own decimals (three for litres, say); two
// decimals would hide the last digit it sent.
int VolumeDecimalsShown(Session& session, std::uint8_t dispenser) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    return driver.HasDecimalsMode(channel, dispenser)
               ? std::max(2, int{driver.Tables().VolumeDecimals[channel][dispenser]})
               : 2;
}

int MoneyDecimalsShown(Session& session, std::uint8_t dispenser) {
    TVM30& driver = session.Driver();
    const std::uint8_t channel = session.Channel();
    return driver.HasDecimalsMode(channel, dispenser)
               ? std::max(2, int{driver.Tables().MoneyDecimals[channel][dispenser]})
               : 2;
}

void RequireSomeoneToAsk(const CommandContext& context, std::string_view what) {
    if (!context.options.yes && !IsTerminalInput(context.in)) {
        throw UsageError("standard input is not a terminal, so nobody can confirm" +
                         (what.empty() ? "" : " " + std::string(what)) + ": give --yes");
    }
}

bool Consent(CommandContext& context, const std::string& question) {
    if (context.options.yes) {
        return true;
    }
    context.out << question << " [y/N] " << std::flush;
    std::string answer;
    std::getline(context.in, answer);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "д" || answer == "да";
}

}  // namespace fuel::cli
