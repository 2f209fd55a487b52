#include "emulator/SerialServer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace fuel::emulator {
namespace {

[[noreturn]] void SystemFailure(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int descriptor, std::uint32_t baudRate) {
    termios tio{};
    if (::tcgetattr(descriptor, &tio) != 0) {
        SystemFailure("cannot read the line settings");
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed = B0;
    switch (baudRate) {
        case 1200:
            speed = B1200;
            break;
        case 2400:
            speed = B2400;
            break;
        case 4800:
            speed = B4800;
            break;
        case 9600:
            speed = B9600;
            break;
        case 19200:
            speed = B19200;
            break;
        case 38400:
            speed = B38400;
            break;
        case 57600:
            speed = B57600;
            break;
        case 115200:
            speed = B115200;
            break;
        default:
            throw std::runtime_error("unsupported baud rate " + std::to_string(baudRate));
    }
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(descriptor, TCSANOW, &tio) != 0) {
        SystemFailure("cannot apply the line settings");
    }
}

}  // namespace

std::size_t FrameAssembler::FrameLength(std::uint8_t letter) {
    switch (letter) {
        case 'u':
        case 's':
        case 'C':
        case 'U':
        case 'S':
        case 'D':
            return 2 + 3;
        case 'X':
        case 'Y':
            return 4 + 3;
        case 'c':
        case 'x':
        case 'y':
            return 6 + 3;
        case 'd':
            return 7 + 3;
        case 'e':
            return 8 + 3;
        default:
            return 0;
    }
}

std::optional<std::span<const std::uint8_t>> FrameAssembler::Push(std::uint8_t byte) {
    if (complete_) {
        size_ = 0;
        complete_ = false;
    }
    if (size_ == 0 && byte != 'H') {
        return std::nullopt;
    }
    buffer_[size_++] = byte;
    if (size_ < 3) {
        return std::nullopt;
    }
    const std::size_t length = FrameLength(buffer_[2]);
    if (length == 0) {
        // Not a frame after all: look for a new start among the bytes taken so far.
        std::size_t next = 1;
        while (next < size_ && buffer_[next] != 'H') {
            ++next;
        }
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(next),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(size_), buffer_.begin());
        size_ -= next;
        return std::nullopt;
    }
    if (size_ < length) {
        return std::nullopt;
    }
    complete_ = true;
    return std::span<const std::uint8_t>(buffer_.data(), size_);
}

Duration LineTime(std::size_t count, std::uint32_t baudRate) {
    return Duration(static_cast<std::int64_t>(count) * 10 * 1'000'000'000LL /
                    static_cast<std::int64_t>(baudRate));
}

SerialServer::SerialServer(Emulator& bus, int descriptor, ServeOptions options)
    : bus_(bus), descriptor_(descriptor), options_(options) {}

void SerialServer::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t done = ::write(descriptor_, bytes, count);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pollfd waiting{descriptor_, POLLOUT, 0};
                ::poll(&waiting, 1, 50);
                continue;
            }
            SystemFailure("write failed");
        }
        bytes += done;
        count -= static_cast<std::size_t>(done);
    }
}

void SerialServer::Answer(std::span<const std::uint8_t> frame, SteadyClock::time_point frameStart) {
    ++requests_;
    if (onRequest) {
        onRequest(requests_, frame);
    }
    const auto begun = SteadyClock::now();
    const Reply reply = bus_.Handle(frame);
    Send(reply, frame.size(), frameStart);
    if (onReply) {
        onReply(requests_, frame, reply, SteadyClock::now() - begun);
    }
}

void SerialServer::Send(const Reply& reply, std::size_t frameSize,
                        SteadyClock::time_point frameStart) {
    if (reply.Silent()) {
        return;
    }
    const auto now = SteadyClock::now();
    // On a real line the request ends when its last bit is in; here it may have come at
    // once, so its wire time is counted from its first byte.
    auto requestEnd = now;
    if (options_.pace) {
        requestEnd = std::max(now, frameStart + LineTime(frameSize, options_.baudRate));
    }
    const auto start = requestEnd + reply.delay;
    const std::span<const std::uint8_t> bytes = reply.Bytes();
    const bool pauses = options_.pauseAfter > 0 && options_.pauseAfter < bytes.size();
    if (!options_.pace && reply.byteGap == Duration::zero()) {
        std::this_thread::sleep_until(start);
        if (pauses) {
            WriteAll(bytes.data(), options_.pauseAfter);
            std::this_thread::sleep_for(options_.pause);
            WriteAll(bytes.data() + options_.pauseAfter, bytes.size() - options_.pauseAfter);
            return;
        }
        WriteAll(bytes.data(), bytes.size());
        return;
    }
    const Duration byteTime = options_.pace ? LineTime(1, options_.baudRate) : Duration::zero();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        // A byte is whole at the receiver when its stop bit has passed; the schedule is
        // absolute, so a late wake-up does not push the bytes after it.
        auto due = start + byteTime * static_cast<std::int64_t>(i + 1) +
                   reply.byteGap * static_cast<std::int64_t>(i);
        if (pauses && i >= options_.pauseAfter) {
            due += options_.pause;
        }
        std::this_thread::sleep_until(due);
        WriteAll(&bytes[i], 1);
    }
}

void SerialServer::Attach(int descriptor) {
    descriptor_ = descriptor;
    frames_.Reset();
}

void SerialServer::Receive(std::span<const std::uint8_t> bytes) {
    const auto now = SteadyClock::now();
    if (now - lastByte_ > options_.frameGap) {
        frames_.Reset();
    }
    lastByte_ = now;
    for (const std::uint8_t byte : bytes) {
        if (frames_.Empty()) {
            frameStart_ = now;
        }
        if (const auto frame = frames_.Push(byte)) {
            Answer(*frame, frameStart_);
            lastByte_ = SteadyClock::now();
        }
    }
}

void SerialServer::Run(const std::atomic<bool>& stop) {
    std::array<std::uint8_t, 256> buffer;
    while (!stop) {
        pollfd waiting{descriptor_, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, 50);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("poll failed");
        }
        if (ready == 0) {
            continue;
        }
        const ssize_t got = ::read(descriptor_, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            SystemFailure("read failed");
        }
        if (got == 0) {
            throw std::runtime_error("the line was hung up");
        }
        Receive(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)));
    }
}

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        SystemFailure("cannot create a pseudo-terminal");
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        const int error = errno;
        ::close(master_);
        errno = error;
        SystemFailure("cannot unlock the pseudo-terminal");
    }
    const char* name = ::ptsname(master_);
    path_ = name != nullptr ? name : "";
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        const int error = errno;
        ::close(master_);
        errno = error;
        SystemFailure("cannot open " + path_);
    }
    try {
        MakeRaw(slave_, 4800);
    } catch (...) {
        ::close(slave_);
        ::close(master_);
        throw;
    }
}

PseudoTerminal::~PseudoTerminal() {
    ::close(slave_);
    ::close(master_);
}

int OpenSerialDevice(const std::string& path, std::uint32_t baudRate) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        SystemFailure("cannot open " + path);
    }
    try {
        MakeRaw(descriptor, baudRate);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
    return descriptor;
}

}  // namespace fuel::emulator
