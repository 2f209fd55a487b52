// One connection to an MQTT broker through libmosquitto, driven by its owner's thread: the
// owner waits in Service() (on the socket and on a wake-up descriptor of its own) and every
// callback runs inside Service(), on that thread. No thread of the library's own, so the
// owner's state needs no locks and nothing of a connection outlives the object: a lost
// connection is destroyed and a new client made, and no queue of the library's re-sends
// messages behind the owner's back.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct mosquitto;
struct mosquitto_message;

namespace fuel::bridge {

class MqttError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A broker's address as the configuration files write it: mqtt://HOST[:PORT] (port 1883) or
// mqtts://HOST[:PORT] (TLS, port 8883), an IPv6 address in brackets, a trailing '/' allowed.
struct BrokerAddress {
    std::string host;
    int port = 1883;
    bool tls = false;
};
// Throws MqttError saying what is wrong with it.
BrokerAddress ParseBrokerUrl(std::string_view url);

struct MqttMessage {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
};

struct MqttSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string clientId;
    // false: the broker keeps the subscriptions and queues QoS 1 messages for us while we
    // are away (commands sent while the station's link was down arrive when it is back).
    bool cleanSession = false;
    int keepalive = 30;
    std::string user;
    std::string password;
    std::filesystem::path ca;  // with tls and empty: the system's CAs
    std::filesystem::path certificate;
    std::filesystem::path key;
    std::optional<MqttMessage> will;
    // QoS 1 messages on the wire at once before the library queues further ones (0: no
    // limit; the owner keeps its own window).
    unsigned maxInflight = 0;
    // MQTT 5 instead of 3.1.1: what shared subscriptions ($share/NAME/FILTER) need, so the
    // head office's workers; a station speaks 3.1.1. A 5 session that is not clean ends
    // sessionExpiry after its connection does (none given would end it with the connection),
    // so that the QoS 1 messages of a killed worker wait for its return that long. The
    // connection to a 5 broker is made at once in Connect (the library sends a CONNECT's
    // properties only then), not while Service runs.
    bool mqtt5 = false;
    std::chrono::seconds sessionExpiry{std::chrono::hours(24)};
};

class MqttClient {
  public:
    // What happens on the connection; called inside Service().
    class Listener {
      public:
        virtual ~Listener() = default;
        virtual void Connected() = 0;  // the broker accepted us (CONNACK 0)
        // The connection failed or ended (also a refused CONNACK); the client is dead.
        virtual void Disconnected(const std::string& why) = 0;
        virtual void Acknowledged(int messageId) = 0;  // PUBACK of a QoS 1 publish
        virtual void Received(const MqttMessage& message) = 0;
    };

    // Throws MqttError when the settings cannot be used (a TLS file that cannot be read).
    MqttClient(const MqttSettings& settings, Listener& listener);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Starts connecting; the outcome comes as Connected or Disconnected.
    void Connect();
    // What became of a message handed to Publish. Never thrown: Publish is called from the
    // library's own callbacks too, where an exception would end the process.
    struct Sent {
        enum class Kind {
            Queued,   // on its way; id for Acknowledged
            Gone,     // the connection is gone: send it again on the next one
            Refused,  // the broker could never take it (a topic that is not UTF-8, too large)
        };
        Kind kind = Kind::Gone;
        int id = 0;
        std::string why;  // Refused

        explicit operator bool() const { return kind == Kind::Queued; }
    };
    Sent Publish(std::string_view topic, std::string_view payload, int qos, bool retain);
    bool Subscribe(std::string_view filter, int qos);
    // A clean end: the broker drops the last will.
    void Disconnect();
    // Waits up to `timeout` for the connection or for wakeFd to be readable (the caller
    // empties it), then reads, writes and keeps the connection alive. Returns at once when
    // the connection is dead.
    void Service(int wakeFd, std::chrono::milliseconds timeout);
    bool Dead() const { return dead_; }

  private:
    static void OnConnect(mosquitto*, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int code);
    static void OnPublish(mosquitto*, void* self, int messageId);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    void Fail(const std::string& why);

    MqttSettings settings_;
    Listener& listener_;
    mosquitto* client_ = nullptr;
    bool dead_ = false;
};

}  // namespace fuel::bridge
