// The steps of an exchange, written once for the plain driver and the one that records what
// it does. The watcher hears of the frame going out, of the link's call returning or raising,
// and of the verdict as it ends up in LinkState; it must not throw.
#pragma once

#include "driver/TVM30.h"

namespace fuel {

template <typename Watch>
std::int32_t TVM30::ExchangeWatched(std::uint8_t channel, std::span<std::uint8_t> buffer,
                                    std::uint8_t n, std::uint8_t replyLength, Watch& watch) {
    // Nothing goes out on a channel whose verdict could not be recorded, and neither the
    // data nor the reply may pass the caller's buffer.
    LinkState.Check(channel);
    if (n > buffer.size() || replyLength > buffer.size()) {
        throw ERangeError();
    }

    Frame frame;
    BuildFrame(frame, buffer.first(n));
    HostLink->SetReplyValidator(channel, ReplyCheckHandler());

    watch.Sending(channel, frame, replyLength);
    std::int32_t result;
    bool raised = false;
    try {
        result = HostLink->Transact(channel, frame.bytes.data(), frame.length, buffer.data(),
                                    replyLength, 0);
        watch.Returned();
        LinkState[channel] = static_cast<std::uint8_t>(HostLink->GetChannelState(channel) & 0xFF);
    } catch (...) {
        // Whatever the line raised, the caller learns of it only as the link's error code;
        // LinkState keeps the value it had.
        watch.Returned();
        raised = true;
        result = HostLink->GetChannelError(channel);
    }
    watch.Finished(result, LinkState[channel], raised, buffer.first(replyLength));
    return result;
}

// The plain driver's watcher.
struct UnwatchedExchange {
    void Sending(std::uint8_t, const Frame&, std::uint8_t) noexcept {}
    void Returned() noexcept {}
    void Finished(std::int32_t, std::uint8_t, bool, std::span<const std::uint8_t>) noexcept {}
};

}  // namespace fuel
