#include "emulator/TcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace fuel::emulator {
namespace {

[[noreturn]] void SystemFailure(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

TcpServer::TcpServer(SerialServer& line, std::uint16_t port) : line_(line) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        SystemFailure("cannot create a socket");
    }
    // A restarted emulator takes its port again at once, though the last run's connections
    // still linger on it.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
        const int error = errno;
        ::close(listener_);
        errno = error;
        SystemFailure("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
}

TcpServer::~TcpServer() {
    if (client_ >= 0) {
        ::close(client_);
    }
    ::close(listener_);
}

std::string TcpServer::Address() const {
    return "tcp://127.0.0.1:" + std::to_string(port_);
}

void TcpServer::Tell(const std::string& event) {
    if (onClient) {
        onClient(event);
    }
}

void TcpServer::Accept() {
    const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) {
        return;  // the client gave up before we took it
    }
    if (client_ >= 0) {
        ::close(accepted);
        Tell("turned a second client away");
        return;
    }
    // A reply's bytes leave as the serial line behind the converter delivers them.
    const int on = 1;
    ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client_ = accepted;
    line_.Attach(client_);
    Tell("a client connected");
}

void TcpServer::DropClient(const std::string& why) {
    ::close(client_);
    client_ = -1;
    Tell(why);
}

void TcpServer::Serve(std::span<std::uint8_t> buffer) {
    const ssize_t got = ::recv(client_, buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (got <= 0) {
        DropClient(got == 0 ? "the client left" : "the client's connection failed");
        return;
    }
    try {
        line_.Receive(buffer.first(static_cast<std::size_t>(got)));
    } catch (const std::runtime_error& error) {
        DropClient(std::string("the client's connection failed: ") + error.what());
    }
}

void TcpServer::Run(const std::atomic<bool>& stop) {
    std::array<std::uint8_t, 256> buffer;
    while (!stop) {
        std::array<pollfd, 2> waiting{pollfd{listener_, POLLIN, 0}, pollfd{client_, POLLIN, 0}};
        const int ready = ::poll(waiting.data(), client_ >= 0 ? 2 : 1, 50);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("poll failed");
        }
        // The client first: one that left makes room for one that is knocking.
        if (client_ >= 0 && waiting[1].revents != 0) {
            Serve(buffer);
        }
        if ((waiting[0].revents & POLLIN) != 0) {
            Accept();
        }
    }
}

}  // namespace fuel::emulator
