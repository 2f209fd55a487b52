// The platform-independent half of the TCP line: reading a port map's tcp://HOST:PORT, and
// what each outcome of the system's calls (link/TcpSocket.h) means for the line.
#include "link/TcpPort.h"

#include <array>
#include <charconv>

#include "link/TcpSocket.h"

namespace fuel {
namespace {

[[noreturn]] void Refuse(std::string_view device, const std::string& what) {
    throw std::invalid_argument(std::string(device) + ": " + what +
                                " (expected tcp://HOST:PORT, e.g. tcp://192.168.0.10:4001)");
}

}  // namespace

bool IsTcpDevice(std::string_view device) {
    return device.starts_with(kTcpScheme);
}

TcpAddress ParseTcpAddress(std::string_view device) {
    if (!IsTcpDevice(device)) {
        Refuse(device, "not a TCP address");
    }
    const std::string_view rest = device.substr(kTcpScheme.size());
    TcpAddress address;
    std::string_view portText;
    if (rest.starts_with('[')) {
        // An IPv6 address, whose colons would read as the port's.
        const auto close = rest.find(']');
        if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") {
            Refuse(device, "an IPv6 address in brackets must be followed by :PORT");
        }
        address.host = std::string(rest.substr(1, close - 1));
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            Refuse(device, "no port");
        }
        address.host = std::string(rest.substr(0, colon));
        if (address.host.find(':') != std::string::npos) {
            Refuse(device, "an IPv6 address must be in brackets");
        }
        portText = rest.substr(colon + 1);
    }
    if (address.host.empty()) {
        Refuse(device, "no host");
    }
    if (address.host.find_first_of("/?#@ \t") != std::string::npos) {
        Refuse(device, "\"" + address.host + "\" is not a host");
    }
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        port < 1 || port > 65535) {
        Refuse(device, "\"" + std::string(portText) + "\" is not a port 1..65535");
    }
    address.port = static_cast<std::uint16_t>(port);
    return address;
}

PortError tcp::Failure(const std::string& device, std::string_view what, int error) {
    std::string message = device + ": " + std::string(what);
    if (error != 0) {
        message += ": " + ErrorText(error);
    }
    return PortError(message);
}

TcpPort::TcpPort(const std::string& device, std::chrono::milliseconds connectTimeout)
    : device_(device) {
    TcpAddress address;
    try {
        address = ParseTcpAddress(device);
    } catch (const std::invalid_argument& error) {
        throw PortError(error.what());
    }
    tcp::StartSockets(device_);
    const auto deadline = tcp::Clock::now() + connectTimeout;
    int error = tcp::kTimedOut;
    tcp::Socket socket = tcp::kNoSocket;
    const std::string lookupFailure =
        tcp::ForEachEndpoint(address, [&](const tcp::Endpoint& endpoint) {
            if (tcp::Clock::now() >= deadline) {
                error = tcp::kTimedOut;
                return true;
            }
            error = tcp::ConnectTo(endpoint, deadline, socket);
            return socket != tcp::kNoSocket;
        });
    if (!lookupFailure.empty()) {
        tcp::StopSockets();
        throw PortError(device_ + ": cannot find " + address.host + ": " + lookupFailure);
    }
    if (socket == tcp::kNoSocket) {
        tcp::StopSockets();
        if (error == tcp::kTimedOut) {
            throw tcp::Failure(
                device_, "no connection within " + std::to_string(connectTimeout.count()) + " ms",
                0);
        }
        throw tcp::Failure(device_, "cannot connect", error);
    }
    handle_ = socket;
    tcp::SetUp(socket);
}

TcpPort::~TcpPort() {
    if (handle_ != tcp::kNoSocket) {
        tcp::Close(handle_);
        tcp::StopSockets();
    }
}

void TcpPort::Apply(const LineSettings&) {}

void TcpPort::DiscardInput() {
    std::array<std::uint8_t, 256> scratch;
    for (;;) {
        const tcp::Transfer got = tcp::Receive(handle_, scratch);
        switch (got.step) {
            case tcp::Step::Moved:
            case tcp::Step::Interrupted:
                continue;
            case tcp::Step::WouldBlock:
                return;
            case tcp::Step::Closed:
                throw tcp::Failure(device_, "the converter closed the connection", 0);
            case tcp::Step::Failed:
                throw tcp::Failure(device_, "connection lost", got.error);
        }
    }
}

void TcpPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const tcp::Transfer done = tcp::Send(handle_, bytes.subspan(written));
        switch (done.step) {
            case tcp::Step::Moved:
                written += done.count;
                continue;
            case tcp::Step::Interrupted:
                continue;
            case tcp::Step::Failed:
                throw tcp::Failure(device_, "connection lost", done.error);
            case tcp::Step::WouldBlock:
            case tcp::Step::Closed:
                break;
        }
        if (!tcp::WaitReady(handle_, tcp::Direction::Write, deadline)) {
            throw tcp::Failure(device_, "write timed out", 0);
        }
    }
}

std::size_t TcpPort::Read(std::span<std::uint8_t> into, Clock::time_point deadline) {
    if (into.empty()) {
        return 0;
    }
    for (;;) {
        const tcp::Transfer got = tcp::Receive(handle_, into);
        switch (got.step) {
            case tcp::Step::Moved:
                return got.count;
            case tcp::Step::Interrupted:
                continue;
            case tcp::Step::Closed:
                throw tcp::Failure(device_, "the converter closed the connection", 0);
            case tcp::Step::Failed:
                throw tcp::Failure(device_, "connection lost", got.error);
            case tcp::Step::WouldBlock:
                break;
        }
        if (!tcp::WaitReady(handle_, tcp::Direction::Read, deadline)) {
            return 0;
        }
    }
}

}  // namespace fuel
