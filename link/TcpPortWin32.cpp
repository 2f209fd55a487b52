// TcpPort on Windows: a non-blocking Winsock socket, waited on with select so that no call
// outlives its deadline, the connect included (select reports a failed connect among the
// exceptions, where WSAPoll on older systems reports nothing at all).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <string>

#include "link/TcpPort.h"

namespace fuel {
namespace {

using Clock = Port::Clock;

SOCKET Socket(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

[[noreturn]] void Fail(const std::string& device, std::string_view what, int error) {
    std::string message = device + ": " + std::string(what);
    if (error != 0) {
        message += ": Windows error " + std::to_string(error);
    }
    throw PortError(message);
}

// Winsock counts its users; every TcpPort is one, from its first call to its destructor.
void StartWinsock(const std::string& device) {
    WSADATA data;
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        Fail(device, "cannot start Winsock", error);
    }
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

// One address: 0 and the connected socket, or the reason it failed.
int ConnectTo(const addrinfo& address, Clock::time_point deadline, SOCKET& connected) {
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
    connected = socket;
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
    StartWinsock(device);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    const int lookup = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        ::WSACleanup();
        Fail(device_, "cannot find " + address.host, lookup);
    }
    int error = WSAETIMEDOUT;
    SOCKET socket = INVALID_SOCKET;
    for (const addrinfo* each = found; each != nullptr && socket == INVALID_SOCKET;
         each = each->ai_next) {
        if (Clock::now() >= deadline) {
            error = WSAETIMEDOUT;
            break;
        }
        error = ConnectTo(*each, deadline, socket);
    }
    ::freeaddrinfo(found);
    if (socket == INVALID_SOCKET) {
        ::WSACleanup();
        if (error == WSAETIMEDOUT) {
            Fail(device_, "no connection within " + std::to_string(connectTimeout.count()) + " ms",
                 0);
        }
        Fail(device_, "cannot connect", error);
    }
    handle_ = static_cast<std::intptr_t>(socket);
    // A request is a few bytes that must leave at once, not wait for more to join them.
    const BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

TcpPort::~TcpPort() {
    if (Socket(handle_) != INVALID_SOCKET) {
        ::closesocket(Socket(handle_));
        ::WSACleanup();
    }
}

void TcpPort::Apply(const LineSettings&) {}

void TcpPort::DiscardInput() {
    const SOCKET socket = Socket(handle_);
    std::array<char, 256> scratch;
    for (;;) {
        const int got = ::recv(socket, scratch.data(), static_cast<int>(scratch.size()), 0);
        if (got > 0) {
            continue;
        }
        if (got == 0) {
            Fail(device_, "the converter closed the connection", 0);
        }
        const int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            return;
        }
        Fail(device_, "connection lost", error);
    }
}

void TcpPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    const SOCKET socket = Socket(handle_);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const int done = ::send(socket, reinterpret_cast<const char*>(bytes.data() + written),
                                static_cast<int>(bytes.size() - written), 0);
        if (done > 0) {
            written += static_cast<std::size_t>(done);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            Fail(device_, "connection lost", error);
        }
        if (Wait(socket, true, deadline) == Readiness::TimedOut) {
            Fail(device_, "write timed out", 0);
        }
    }
}

std::size_t TcpPort::Read(std::span<std::uint8_t> into, Clock::time_point deadline) {
    const SOCKET socket = Socket(handle_);
    if (into.empty()) {
        return 0;
    }
    for (;;) {
        const int got =
            ::recv(socket, reinterpret_cast<char*>(into.data()), static_cast<int>(into.size()), 0);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            Fail(device_, "the converter closed the connection", 0);
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            Fail(device_, "connection lost", error);
        }
        if (Wait(socket, false, deadline) == Readiness::TimedOut) {
            return 0;
        }
    }
}

}  // namespace fuel
