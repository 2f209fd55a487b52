// The emulator behind a serial-to-Ethernet converter in TCP server mode, as a host meets
// controllers at a station with a converter: a raw TCP byte stream, paced as the converter's
// serial line paces it. It listens on the loopback address only, for tests and for a host on
// the same machine. One client at a time, as most converters allow: a second one is
// accepted and closed at once, and a client that leaves makes room for the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "emulator/SerialServer.h"

namespace fuel::emulator {

class TcpServer {
  public:
    // Listens on 127.0.0.1:port (0: a free port the system picks); throws std::runtime_error.
    TcpServer(SerialServer& line, std::uint16_t port);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // The port listened on, and the address a host's port map names: tcp://127.0.0.1:PORT.
    std::uint16_t Port() const { return port_; }
    std::string Address() const;

    // What happens to clients, for the operator: connected, turned away, gone.
    std::function<void(const std::string& event)> onClient;

    // Serves until stop is set (checked at least every 50 ms). Throws std::runtime_error
    // when listening fails; a client's failure only ends that client.
    void Run(const std::atomic<bool>& stop);

  private:
    void Accept();
    // Takes what the client sent and answers it.
    void Serve(std::span<std::uint8_t> buffer);
    void DropClient(const std::string& why);
    void Tell(const std::string& event);

    SerialServer& line_;
    int listener_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace fuel::emulator
