// Runs the driver's operations against replies taken from the fuzzer's input: any bytes,
// any received count. Every outcome must be a return or one of the driver's exceptions;
// the sanitizers catch any read or write outside a buffer.
#include <cstdlib>

#include "driver/TVM30.h"
#include "fuzz/FuzzInput.h"
#include "testing/RecordingLink.h"

using fuel::fuzz::FuzzInput;

namespace {

void RunOperation(fuel::TVM30& driver, FuzzInput& in) {
    // Channels and dispensers mostly in range, now and then just outside it.
    const std::uint32_t channel = in.Byte() % 34;
    const std::uint32_t dispenser = in.Byte() % 34;
    const std::uint32_t nozzle = in.Byte() % 8;
    double volume = 0, amount = 0;
    switch (in.Byte() % 16) {
        case 0:
            driver.StartPump(channel, dispenser, nozzle);
            break;
        case 1:
            driver.StopPump(channel, dispenser, in.Byte());
            break;
        case 2:
            driver.StartFill(channel, dispenser, nozzle, in.Byte() & 1);
            break;
        case 3:
            driver.SetVolumeLimit(channel, dispenser, nozzle, 0, in.Quantity());
            break;
        case 4:
            driver.SetMoneyLimit(channel, dispenser, nozzle, 0, in.Quantity());
            break;
        case 5:
            driver.SetPrice(channel, dispenser, nozzle, 0, 0, in.Quantity());
            break;
        case 6:
            driver.GetDispensedData(channel, dispenser, amount);
            break;
        case 7:
            driver.GetFinalDispensedData(channel, dispenser, volume, amount);
            break;
        case 8:
            driver.GetTotalizer(channel, dispenser, nozzle, volume, amount, 0, 0);
            break;
        case 9:
            driver.ReadParameter(channel, in.Byte(), static_cast<std::int32_t>(in.Word()));
            break;
        case 10:
            driver.WriteParameter(channel, in.Byte(), static_cast<std::int32_t>(in.Word()),
                                  static_cast<std::int32_t>(in.Word()));
            break;
        case 11: {
            fuel::StatusRecord record;
            driver.PollDispenserStatus(static_cast<std::uint8_t>(channel),
                                       static_cast<std::uint8_t>(dispenser), in.Byte() % 8, record);
            break;
        }
        case 12: {
            fuel::StatusRecordEx record;
            driver.PollDispenserStatusEx(static_cast<std::uint8_t>(channel),
                                         static_cast<std::uint8_t>(dispenser), in.Byte() % 8,
                                         record);
            break;
        }
        case 13:
            driver.StopFill(channel, dispenser, 0, 1);
            break;
        case 14:
            driver.HandleHostEvent(in.Byte() % 6, 0, static_cast<std::uint8_t>(channel),
                                   static_cast<std::uint8_t>(dispenser),
                                   static_cast<std::uint8_t>(nozzle));
            break;
        default:
            // Steer the controller mode into the layouts the replies are read by.
            if (fuel::CheckedArray<int, 1, 32>::Contains(channel) &&
                fuel::CheckedArray<int, 1, 32>::Contains(dispenser)) {
                static constexpr std::uint8_t kModes[] = {0, '0', '1', 0x40, 0x42, 0x47};
                fuel::DispenserState state = driver.Tables().Dispenser(channel, dispenser);
                state.DispenserMode = kModes[in.Byte() % 6];
                state.VolumeDecimals = in.Byte() % 16;
                state.MoneyDecimals = in.Byte() % 16;
                driver.RestoreDispenser(channel, dispenser, state);
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    fuel::test::RecordingLink link;
    link.recording = false;
    fuel::TVM30 driver(in.Byte(), &link, "");
    driver.OrigAdres = (in.Byte() & 1) != 0;
    // Each request gets the next slice of the input as its reply, with any received count
    // the line could report; the link hands over its buffer's true highest index.
    link.responder = [&in](const fuel::test::Bytes&) { return in.Bytes(in.Byte() % 24); };
    for (int operations = 0; operations < 8 && !in.Empty(); ++operations) {
        for (int i = 0; i < 3; ++i) {
            fuel::test::ScriptedReply reply;
            reply.bytes = in.Bytes(in.Byte() % 24);
            if (in.Byte() & 1) {
                reply.receivedCount = in.Byte();
            }
            link.Queue(std::move(reply));
        }
        try {
            RunOperation(driver, in);
        } catch (const fuel::Exception&) {
            // The driver's own failures are expected outcomes.
        }
    }
    return 0;
}
