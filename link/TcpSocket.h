// The system's side of TcpPort, once per platform (TcpPortPosix.cpp, TcpPortWin32.cpp): each
// call takes one non-blocking step on a socket and says what came of it, and TcpPort.cpp
// decides what that means for the line, the same way on every system. Only the link's own
// files include this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "link/Port.h"
#include "link/TcpPort.h"

namespace fuel::tcp {

using Clock = Port::Clock;
using Socket = std::intptr_t;  // a descriptor or a SOCKET, by platform
inline constexpr Socket kNoSocket = -1;

// The system's error number for a connect that did not finish in time.
extern const int kTimedOut;

// The system's words for one of its error numbers.
std::string ErrorText(int error);
// A PortError naming the device: "DEVICE: WHAT", and the system's words when error is not 0.
PortError Failure(const std::string& device, std::string_view what, int error);

// Sockets can be used from here on / no longer: Winsock counts its users, and every TcpPort
// is one from its first call to its destructor. StartSockets throws a PortError for device.
void StartSockets(const std::string& device);
void StopSockets();

// One of the addresses a host name resolves to, as the system holds it.
struct Endpoint;
// Calls connect with each address of host:port, in the resolver's order, until it returns
// true; "" when the name resolved, else why not.
std::string ForEachEndpoint(const TcpAddress& address,
                            const std::function<bool(const Endpoint&)>& connect);
// Connects a new non-blocking socket to the endpoint: 0 and the socket in `connected`, or the
// system's error (kTimedOut when the deadline passed first).
int ConnectTo(const Endpoint& endpoint, Clock::time_point deadline, Socket& connected);
// Sets a connected socket up for short requests on a line that may vanish.
void SetUp(Socket socket);
void Close(Socket socket);

// What one non-blocking send or receive did.
enum class Step {
    Moved,        // count bytes went
    WouldBlock,   // nothing yet: wait, then try again
    Interrupted,  // a signal came first: try again at once
    Closed,       // the peer closed the connection (a receive of 0 bytes)
    Failed,       // the connection failed: error says why
};
struct Transfer {
    Step step = Step::Failed;
    std::size_t count = 0;
    int error = 0;
};
Transfer Receive(Socket socket, std::span<std::uint8_t> into);
Transfer Send(Socket socket, std::span<const std::uint8_t> bytes);

enum class Direction { Read, Write };
// Until the socket can be read or written, or has failed (the next call then says so); false
// once the deadline has passed.
bool WaitReady(Socket socket, Direction direction, Clock::time_point deadline);

}  // namespace fuel::tcp
