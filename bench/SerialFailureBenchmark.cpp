// What a failed exchange costs on the driver's own line settings (a 75 ms reply time-out at
// 4800 baud, three sends per exchange, no port map overrides): how long the driver is held
// when a controller answers a data request with a lone 'A', and when it does not answer at
// all. The controller is a thread on the master side of a pseudo-terminal that answers at
// once, so the figures are the link's own waits.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "testing/DriverOnSerialLine.h"
#include "testing/PseudoTerminal.h"

namespace {

enum class Answer { OnlyAcknowledge, Nothing };

// The controller's end: takes each five-byte request and answers it as told.
class Peer {
  public:
    explicit Peer(Answer answer) : answer_(answer) {
        const fuel::test::PseudoTerminal pair = fuel::test::OpenRawPseudoTerminal();
        master_ = pair.master;
        slave_ = pair.slave;
        path_ = pair.path;
        thread_ = std::thread([this] { Run(); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        ::close(master_);
        ::close(slave_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    const std::string& Path() const { return path_; }

  private:
    void Run() {
        std::size_t pending = 0;
        while (!stop_) {
            pollfd waiting{master_, POLLIN, 0};
            if (::poll(&waiting, 1, 5) <= 0) {
                continue;
            }
            std::uint8_t buffer[64];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) {
                continue;
            }
            pending += static_cast<std::size_t>(got);
            for (; pending >= 5; pending -= 5) {
                if (answer_ == Answer::OnlyAcknowledge) {
                    const std::uint8_t acknowledge = 'A';
                    if (::write(master_, &acknowledge, 1) != 1) {
                        return;
                    }
                }
            }
        }
    }

    Answer answer_;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

void BM_FailedExchange(benchmark::State& state, Answer answer) {
    Peer peer(answer);
    fuel::PortSettings port;
    port.device = peer.Path();
    fuel::test::DriverOnSerialLine serial(port);
    fuel::TVM30& driver = serial.driver;
    if (const std::string problem = serial.Open(); !problem.empty()) {
        state.SkipWithError(("no line: " + problem).c_str());
        return;
    }
    const std::int32_t expected = answer == Answer::OnlyAcknowledge
                                      ? fuel::reply_code::kOnlyAcknowledge
                                      : fuel::line_code::kSilence;
    fuel::CommandBuffer buffer{};
    for (auto _ : state) {
        buffer = {0x02, 'U'};  // a dispensing-data request: 18 bytes asked for
        const auto started = std::chrono::steady_clock::now();
        const std::int32_t result = driver.Exchange(1, buffer, 2, 18);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        state.SetIterationTime(took.count());
        if (result != expected) {
            state.SkipWithError(("the exchange ended with " + std::to_string(result)).c_str());
            return;
        }
    }
    const fuel::LineCounters& c = serial.link.Counters();
    state.counters["frames"] =
        static_cast<double>(c.attempts) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(BM_FailedExchange, only_acknowledge, Answer::OnlyAcknowledge)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK_CAPTURE(BM_FailedExchange, silence, Answer::Nothing)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
