// TcpPort's system calls on POSIX: a non-blocking socket, waited on with poll so that no call
// outlives its deadline, the connect included.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "link/TcpSocket.h"

namespace fuel::tcp {
namespace {

// A converter that vanishes without closing the connection (switched off, its cable pulled)
// leaves our requests unacknowledged; after this long the system gives the connection up, so
// that later exchanges connect afresh and find the converter when it is back.
constexpr unsigned kUnacknowledgedLimitMs = 5000;

int Descriptor(Socket socket) {
    return static_cast<int>(socket);
}

#ifdef TCP_USER_TIMEOUT
void LimitUnacknowledged(int fd) {
    const unsigned limit = kUnacknowledgedLimitMs;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
}
#else
void LimitUnacknowledged(int) {}
#endif

// The outcome of a send or receive that moved no byte, by errno.
Transfer NothingMoved() {
    const int error = errno;
    if (error == EINTR) {
        return {Step::Interrupted, 0, 0};
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
        return {Step::WouldBlock, 0, 0};
    }
    return {Step::Failed, 0, error};
}

}  // namespace

struct Endpoint {
    const addrinfo& info;
};

const int kTimedOut = ETIMEDOUT;

std::string ErrorText(int error) {
    return std::strerror(error);
}

void StartSockets(const std::string&) {}

void StopSockets() {}

std::string ForEachEndpoint(const TcpAddress& address,
                            const std::function<bool(const Endpoint&)>& connect) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    const int lookup = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        return ::gai_strerror(lookup);
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
        if (connect(Endpoint{*each})) {
            break;
        }
    }
    return "";
}

int ConnectTo(const Endpoint& endpoint, Clock::time_point deadline, Socket& connected) {
    const addrinfo& address = endpoint.info;
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
            if (!WaitReady(fd, Direction::Write, deadline)) {
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

void SetUp(Socket socket) {
    const int fd = Descriptor(socket);
    // A request is a few bytes that must leave at once, not wait for more to join them.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    LimitUnacknowledged(fd);
}

void Close(Socket socket) {
    ::close(Descriptor(socket));
}

Transfer Receive(Socket socket, std::span<std::uint8_t> into) {
    const ssize_t got = ::recv(Descriptor(socket), into.data(), into.size(), MSG_DONTWAIT);
    if (got > 0) {
        return {Step::Moved, static_cast<std::size_t>(got), 0};
    }
    if (got == 0) {
        return {Step::Closed, 0, 0};
    }
    return NothingMoved();
}

Transfer Send(Socket socket, std::span<const std::uint8_t> bytes) {
    // MSG_NOSIGNAL: a connection the converter closed is an error to report, not a signal
    // that ends the program.
    const ssize_t done = ::send(Descriptor(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (done > 0) {
        return {Step::Moved, static_cast<std::size_t>(done), 0};
    }
    if (done == 0) {
        return {Step::WouldBlock, 0, 0};
    }
    return NothingMoved();
}

bool WaitReady(Socket socket, Direction direction, Clock::time_point deadline) {
    const short events = direction == Direction::Read ? POLLIN : POLLOUT;
    for (;;) {
        pollfd waiting{Descriptor(socket), events, 0};
        const int ready = ::poll(&waiting, 1, MillisecondsUntil(deadline));
        if (ready > 0) {
            return true;
        }
        if ((ready == 0 || errno != EINTR) && Clock::now() >= deadline) {
            return false;
        }
    }
}

}  // namespace fuel::tcp
