// TcpPort on POSIX: a non-blocking socket, waited on with poll so that no call outlives its
// deadline, the connect included.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/TcpPort.h"

namespace fuel {
namespace {

using Clock = Port::Clock;

// A converter that vanishes without closing the connection (switched off, its cable pulled)
// leaves our requests unacknowledged; after this long the system gives the connection up, so
// that later exchanges connect afresh and find the converter when it is back.
constexpr unsigned kUnacknowledgedLimitMs = 5000;

int Descriptor(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// poll's time-out in whole milliseconds, rounded up so that we never wake before the deadline.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<std::int64_t>(ms, 60'000));
}

[[noreturn]] void Fail(const std::string& device, std::string_view what, int error) {
    std::string message = device + ": " + std::string(what);
    if (error != 0) {
        message += ": ";
        message += std::strerror(error);
    }
    throw PortError(message);
}

#ifdef TCP_USER_TIMEOUT
void LimitUnacknowledged(int fd) {
    const unsigned limit = kUnacknowledgedLimitMs;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
}
#else
void LimitUnacknowledged(int) {}
#endif

// Waits until fd is ready for events (or has failed, which the next call then reports);
// false once the deadline has passed.
bool Wait(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd waiting{fd, events, 0};
        const int ready = ::poll(&waiting, 1, MillisecondsUntil(deadline));
        if (ready > 0) {
            return true;
        }
        if ((ready == 0 || errno != EINTR) && Clock::now() >= deadline) {
            return false;
        }
    }
}

// One address: 0 and the connected socket, or the reason it failed.
int ConnectTo(const addrinfo& address, Clock::time_point deadline, int& connected) {
    const int fd = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd < 0) {
        return errno;
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            if (!Wait(fd, POLLOUT, deadline)) {
                ::close(fd);
                return ETIMEDOUT;
            }
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        return error;
    }
    connected = fd;
    return 0;
}

}  // namespace

TcpPort::TcpPort(const std::string& device, std::chrono::milliseconds connectTimeout)
    : device_(device) {
    TcpAddress address;
    try {
        address = ParseTcpAddress(device);
    } catch (const std::invalid_argument& error) {
        throw PortError(error.what());
    }
    const auto deadline = Clock::now() + connectTimeout;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    const int lookup = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        throw PortError(device + ": cannot find " + address.host + ": " + ::gai_strerror(lookup));
    }
    int error = ETIMEDOUT;
    int fd = -1;
    for (const addrinfo* each = found; each != nullptr && fd < 0; each = each->ai_next) {
        if (Clock::now() >= deadline) {
            error = ETIMEDOUT;
            break;
        }
        error = ConnectTo(*each, deadline, fd);
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        if (error == ETIMEDOUT) {
            Fail(device_, "no connection within " + std::to_string(connectTimeout.count()) + " ms",
                 0);
        }
        Fail(device_, "cannot connect", error);
    }
    handle_ = fd;
    // A request is a few bytes that must leave at once, not wait for more to join them.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    LimitUnacknowledged(fd);
}

TcpPort::~TcpPort() {
    if (handle_ >= 0) {
        ::close(Descriptor(handle_));
    }
}

void TcpPort::Apply(const LineSettings&) {}

void TcpPort::DiscardInput() {
    const int fd = Descriptor(handle_);
    std::array<std::uint8_t, 256> scratch;
    for (;;) {
        const ssize_t got = ::recv(fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (got > 0) {
            continue;
        }
        if (got == 0) {
            Fail(device_, "the converter closed the connection", 0);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        Fail(device_, "connection lost", errno);
    }
}

void TcpPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    const int fd = Descriptor(handle_);
    std::size_t written = 0;
    while (written < bytes.size()) {
        // MSG_NOSIGNAL: a connection the converter closed is an error to report, not a signal
        // that ends the program.
        const ssize_t done =
            ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (done > 0) {
            written += static_cast<std::size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(device_, "connection lost", errno);
        }
        if (!Wait(fd, POLLOUT, deadline)) {
            Fail(device_, "write timed out", 0);
        }
    }
}

std::size_t TcpPort::Read(std::span<std::uint8_t> into, Clock::time_point deadline) {
    const int fd = Descriptor(handle_);
    if (into.empty()) {
        return 0;
    }
    for (;;) {
        const ssize_t got = ::recv(fd, into.data(), into.size(), MSG_DONTWAIT);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            Fail(device_, "the converter closed the connection", 0);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(device_, "connection lost", errno);
        }
        if (!Wait(fd, POLLIN, deadline)) {
            return 0;
        }
    }
}

}  // namespace fuel
