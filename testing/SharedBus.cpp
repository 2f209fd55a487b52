#include "testing/SharedBus.h"

#include <thread>

#include "driver/TVM30.h"

namespace fuel::test {

class SharedBus::Line final : public HostLink {
  public:
    explicit Line(SharedBus& shared) : shared_(shared) {}

    std::int32_t GetChannelError(std::uint32_t channel) override {
        std::lock_guard lock(shared_.mutex_);
        return shared_.link_.GetChannelError(channel);
    }
    void SetChannelError(std::uint32_t channel, std::int32_t code) override {
        std::lock_guard lock(shared_.mutex_);
        shared_.link_.SetChannelError(channel, code);
    }
    void SetChannelState(std::uint32_t channel, std::int32_t state) override {
        std::lock_guard lock(shared_.mutex_);
        shared_.link_.SetChannelState(channel, state);
    }
    std::int32_t GetChannelState(std::uint32_t channel) override {
        std::lock_guard lock(shared_.mutex_);
        return shared_.link_.GetChannelState(channel);
    }
    std::int32_t Transact(std::uint32_t channel, const std::uint8_t* frame,
                          std::uint8_t frameLength, std::uint8_t* reply, std::uint8_t replyLength,
                          std::uint32_t reserved) override {
        std::int32_t result = 0;
        emulator::Duration ahead{};
        {
            std::lock_guard lock(shared_.mutex_);
            ++shared_.requests;
            if (!shared_.rewrite || frameLength < 4) {
                result = shared_.link_.Transact(channel, frame, frameLength, reply, replyLength,
                                                reserved);
            } else {
                std::vector<std::uint8_t> data(frame + 1, frame + frameLength - 2);
                shared_.rewrite(data);
                Frame sealed;
                BuildFrame(sealed, data);
                result = shared_.link_.Transact(channel, sealed.bytes.data(), sealed.length, reply,
                                                replyLength, reserved);
            }
            if (shared_.watch) {
                shared_.watch({frame, frameLength},
                              {reply, result == 0 ? replyLength : std::size_t{0}});
            }
            const auto real = std::chrono::steady_clock::now() - shared_.started_;
            const auto allowed =
                std::chrono::duration_cast<emulator::Duration>(real * shared_.speed);
            ahead = shared_.bus_.Now() - allowed;
        }
        if (ahead > emulator::Duration::zero() && shared_.speed > 0) {
            std::this_thread::sleep_for(
                std::chrono::duration_cast<emulator::Duration>(ahead / shared_.speed));
        }
        return result;
    }
    std::int32_t ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                               std::uint32_t baudRate) override {
        std::lock_guard lock(shared_.mutex_);
        return shared_.link_.ConfigureLine(channel, timeout, baudRate);
    }
    void SetReplyValidator(std::uint32_t channel, ReplyHandler handler) override {
        std::lock_guard lock(shared_.mutex_);
        shared_.link_.SetReplyValidator(channel, handler);
    }
    void SetLineInitializer(std::uint32_t channel, LineInitializer handler) override {
        std::lock_guard lock(shared_.mutex_);
        shared_.link_.SetLineInitializer(channel, handler);
    }

  private:
    SharedBus& shared_;
};

SharedBus::SharedBus(emulator::Config config)
    : bus_(std::move(config)), link_(bus_, forecourt::kChannel) {}

forecourt::OpenedLine SharedBus::Open() {
    forecourt::OpenedLine opened;
    opened.link = std::make_unique<Line>(*this);
    opened.counters = [this] {
        std::lock_guard lock(mutex_);
        return link_.Counters();
    };
    return opened;
}

}  // namespace fuel::test
