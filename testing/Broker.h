// A private MQTT broker for tests and benchmarks: the system's mosquitto, started on a free
// loopback port with its own directory, stopped and started again on the same port with its
// persistence (so a subscriber's persistent session outlives a restart, as it does at a
// real back office), and a subscriber that records what arrives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "testing/TestFiles.h"

struct mosquitto;
struct mosquitto_message;

namespace fuel::test {

struct BrokerSetup {
    // With users: only they may connect (user, password), and acl (mosquitto's access
    // control file text) says what each may do.
    std::vector<std::pair<std::string, std::string>> users;
    std::string acl;
    // With clients: a second listener on TLS (TlsPort) that wants a client certificate and
    // takes its common name as the user. Made in the broker's directory: ca.pem, and for
    // each client NAME.pem and NAME.key (common name NAME).
    std::vector<std::string> tlsClients;
    // More lines of mosquitto's configuration ("max_inflight_messages 1000\n").
    std::string config{};
};

class MosquittoBroker {
  public:
    // Starts it; throws std::runtime_error when mosquitto is missing or does not start.
    explicit MosquittoBroker(BrokerSetup setup = {});
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // SIGTERM and wait: mosquitto writes its persistence file as it goes.
    void Stop();
    // Again on the same port, from the same persistence file.
    void Start();
    // Stopped (if running) and its persistence file removed: started again, it knows no
    // session, no retained message and nothing queued, as a broker restarted without
    // persistence.
    void Forget();
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    std::string Url() const;  // mqtt://127.0.0.1:PORT
    const std::filesystem::path& Directory() const { return directory_.Path(); }

  private:
    void Launch();
    TemporaryDirectory directory_;
    std::filesystem::path program_;
    pid_t pid_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
    bool tls_ = false;
};

// A client of the broker (a back office): subscribes with a persistent session and records
// every message; publishes commands.
class MqttPeer {
  public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
        std::chrono::steady_clock::time_point arrived;
    };
    // Connects and subscribes to the filters (QoS 1); returns once subscribed.
    MqttPeer(int port, std::vector<std::string> filters, std::string clientId = {},
             std::string user = {}, std::string password = {});
    ~MqttPeer();
    MqttPeer(const MqttPeer&) = delete;
    MqttPeer& operator=(const MqttPeer&) = delete;

    std::vector<Message> Messages() const;
    // Waits until done(messages so far) holds; false after the time-out.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // Publishes QoS 1 and waits for the broker's acknowledgement; false if none came.
    bool Publish(const std::string& topic, const std::string& payload,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Clear();

  private:
    static void OnConnect(mosquitto*, void* self, int code);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int id);
    static void OnSubscribe(mosquitto*, void* self, int id, int count, const int* granted);

    mosquitto* client_ = nullptr;
    std::vector<std::string> filters_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;
    std::vector<int> acknowledged_;
    int subscribed_ = 0;
};

}  // namespace fuel::test
