// TcpPort's system calls on Windows: a non-blocking Winsock socket, waited on with select so
// that no call outlives its deadline, the connect included (select reports a failed connect
// among the exceptions, where WSAPoll on older systems reports nothing at all).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <string>

#include "link/TcpSocket.h"

namespace fuel::tcp {
namespace {

SOCKET Native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

timeval Until(Clock::time_point deadline) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto us = std::chrono::ceil<std::chrono::microseconds>(left).count();
    timeval wait{};
    wait.tv_sec = static_cast<long>(us / 1'000'000);
    wait.tv_usec = static_cast<long>(us % 1'000'000);
    return wait;
}

enum class Readiness { Ready, Failed, TimedOut };

// Until the socket can be written (or read) or has failed; TimedOut once the deadline passed.
Readiness Wait(SOCKET socket, bool forWriting, Clock::time_point deadline) {
    for (;;) {
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval wait = Until(deadline);
        const int count = ::select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr,
                                   &failed, &wait);
        if (count == SOCKET_ERROR) {
            return Readiness::Failed;
        }
        if (count > 0) {
            return FD_ISSET(socket, &failed) ? Readiness::Failed : Readiness::Ready;
        }
        if (Clock::now() >= deadline) {
            return Readiness::TimedOut;
        }
    }
}

// The outcome of a send or receive that moved no byte, by WSAGetLastError.
Transfer NothingMoved() {
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        return {Step::WouldBlock, 0, 0};
    }
    return {Step::Failed, 0, error};
}

}  // namespace

struct Endpoint {
    const addrinfo& info;
};

const int kTimedOut = WSAETIMEDOUT;

std::string ErrorText(int error) {
    return "Windows error " + std::to_string(error);
}

void StartSockets(const std::string& device) {
    WSADATA data;
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        throw Failure(device, "cannot start Winsock", error);
    }
}

void StopSockets() {
    ::WSACleanup();
}

std::string ForEachEndpoint(const TcpAddress& address,
                            const std::function<bool(const Endpoint&)>& connect) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    const int lookup = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        return ErrorText(lookup);
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
    const SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (socket == INVALID_SOCKET) {
        return ::WSAGetLastError();
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(socket);
        return error;
    }
    int error = 0;
    if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const Readiness readiness = Wait(socket, true, deadline);
            error = 0;
            if (readiness == Readiness::TimedOut) {
                error = WSAETIMEDOUT;
            } else if (readiness == Readiness::Failed) {
                int size = sizeof error;
                ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
                error = error != 0 ? error : WSAECONNREFUSED;
            }
        }
    }
    if (error != 0) {
        ::closesocket(socket);
        return error;
    }
    connected = static_cast<Socket>(socket);
    return 0;
}

void SetUp(Socket socket) {
    // A request is a few bytes that must leave at once, not wait for more to join them.
    const BOOL on = TRUE;
    ::setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
}

void Close(Socket socket) {
    ::closesocket(Native(socket));
}

Transfer Receive(Socket socket, std::span<std::uint8_t> into) {
    const int got = ::recv(Native(socket), reinterpret_cast<char*>(into.data()),
                           static_cast<int>(into.size()), 0);
    if (got > 0) {
        return {Step::Moved, static_cast<std::size_t>(got), 0};
    }
    if (got == 0) {
        return {Step::Closed, 0, 0};
    }
    return NothingMoved();
}

Transfer Send(Socket socket, std::span<const std::uint8_t> bytes) {
    const int done = ::send(Native(socket), reinterpret_cast<const char*>(bytes.data()),
                            static_cast<int>(bytes.size()), 0);
    if (done > 0) {
        return {Step::Moved, static_cast<std::size_t>(done), 0};
    }
    return NothingMoved();
}

bool WaitReady(Socket socket, Direction direction, Clock::time_point deadline) {
    return Wait(Native(socket), direction == Direction::Write, deadline) != Readiness::TimedOut;
}

}  // namespace fuel::tcp
