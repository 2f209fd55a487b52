// SerialPort on POSIX: a termios device in raw mode, non-blocking, waited on with poll so
// that no call outlives its deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "link/SerialPort.h"

namespace fuel {
namespace {

using Clock = Port::Clock;

int Descriptor(std::intptr_t handle) {
    return static_cast<int>(handle);
}

speed_t SpeedOf(std::uint32_t baudRate) {
    static constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& [rate, speed] : kSpeeds) {
        if (rate == baudRate) {
            return speed;
        }
    }
    return B0;
}

}  // namespace

SerialPort::SerialPort(const std::string& device) : device_(device) {
    // O_NONBLOCK so that a port waiting for carrier cannot hang the open.
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot open");
    }
    handle_ = fd;
    try {
        if (::isatty(fd) == 0) {
            Fail("not a serial device");
        }
        // A second program on the same line would steal half of every reply.
        if (::ioctl(fd, TIOCEXCL) != 0) {
            Fail("cannot get exclusive use");
        }
    } catch (...) {
        ::close(fd);  // the destructor does not run for a constructor that throws
        handle_ = -1;
        throw;
    }
}

SerialPort::~SerialPort() {
    if (handle_ >= 0) {
        // The exclusive mark outlives us while another program (an emulator on a
        // pseudo-terminal) holds the device, and would lock us out of our own reopen.
        ::ioctl(Descriptor(handle_), TIOCNXCL);
        ::close(Descriptor(handle_));
    }
}

void SerialPort::Fail(std::string_view what) const {
    const int error = errno;
    std::string message = device_ + ": " + std::string(what);
    if (error != 0) {
        message += ": ";
        message += std::strerror(error);
    }
    throw PortError(message);
}

void SerialPort::Apply(const LineSettings& line) {
    const int fd = Descriptor(handle_);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        Fail("cannot read the line settings");
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (line.dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    if (line.parity != Parity::None) {
        // A byte with a parity error reads as 0, which no reply check accepts.
        tio.c_cflag |= PARENB;
        tio.c_iflag |= INPCK;
        if (line.parity == Parity::Odd) {
            tio.c_cflag |= PARODD;
        }
    }
    if (line.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    // With VMIN 1 a non-blocking read of an empty line fails with EAGAIN, so that a read of
    // 0 bytes always means the terminal was hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedOf(line.baudRate);
    errno = 0;
    if (speed == B0) {
        Fail("unsupported baud rate " + std::to_string(line.baudRate));
    }
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        Fail("cannot apply the line settings");
    }
}

void SerialPort::DiscardInput() {
    const int fd = Descriptor(handle_);
    if (::tcflush(fd, TCIFLUSH) != 0) {
        Fail("cannot discard input");
    }
    // Some drivers keep bytes past the flush (pseudo-terminals hand them over a moment
    // later); whatever is readable now is stale as well.
    std::array<std::uint8_t, 256> scratch;
    for (;;) {
        const ssize_t got = ::read(fd, scratch.data(), scratch.size());
        if (got > 0) {
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (got == 0) {
            errno = 0;
            Fail("device went away");
        }
        Fail("read failed");
    }
}

void SerialPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    const int fd = Descriptor(handle_);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (done > 0) {
            written += static_cast<std::size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail("write failed");
        }
        pollfd waiting{fd, POLLOUT, 0};
        const int ready = ::poll(&waiting, 1, MillisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) {
            Fail("poll failed");
        }
        if (ready == 0) {
            errno = 0;
            Fail("write timed out");
        }
        if ((waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            errno = 0;
            Fail("device went away");
        }
    }
}

std::size_t SerialPort::Read(std::span<std::uint8_t> into, Clock::time_point deadline) {
    const int fd = Descriptor(handle_);
    if (into.empty()) {
        return 0;
    }
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            // A terminal that was hung up (the adapter unplugged) reads as end of file.
            errno = 0;
            Fail("device went away");
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail("read failed");
        }
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, MillisecondsUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("poll failed");
        }
        if (ready == 0) {
            return 0;
        }
        if ((waiting.revents & POLLIN) == 0 &&
            (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            errno = 0;
            Fail("device went away");
        }
    }
}

}  // namespace fuel
