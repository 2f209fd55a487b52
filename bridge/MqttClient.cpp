#include "bridge/MqttClient.h"

#include <poll.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

namespace fuel::bridge {
namespace {

constexpr char kSystemCertificates[] = "/etc/ssl/certs";

void InitialiseLibrary() {
    static std::once_flag once;
    // Never cleaned up: other clients of the process (tests, a second bridge) may still run.
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Why(int code) {
    return mosquitto_strerror(code);
}

const char* OrNull(const std::filesystem::path& path) {
    return path.empty() ? nullptr : path.c_str();
}

}  // namespace

BrokerAddress ParseBrokerUrl(std::string_view url) {
    BrokerAddress address;
    std::string_view rest = url;
    if (rest.starts_with("mqtts://")) {
        address.tls = true;
        address.port = 8883;
        rest.remove_prefix(8);
    } else if (rest.starts_with("mqtt://")) {
        rest.remove_prefix(7);
    } else {
        throw MqttError("url must start with mqtt:// or mqtts://, not \"" + std::string(url) +
                        "\"");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::optional<std::string_view> port;
    if (rest.starts_with('[')) {  // an IPv6 address: [::1]:1883
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            throw MqttError("url: no ] after the address");
        address.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (rest.starts_with(':'))
            port = rest.substr(1);
        else if (!rest.empty())
            throw MqttError("url \"" + std::string(url) + "\" has more than a host and a port");
    } else {
        const auto colon = rest.find(':');
        address.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos)
            port = rest.substr(colon + 1);
    }
    if (address.host.empty() || address.host.find('/') != std::string::npos)
        throw MqttError("url \"" + std::string(url) + "\" is not mqtt://HOST[:PORT]");
    if (port) {
        int value = 0;
        const auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
        if (port->empty() || error != std::errc() || end != port->data() + port->size() ||
            value < 1 || value > 65535) {
            throw MqttError("url's port must be a whole number from 1 to 65535, not \"" +
                            std::string(*port) + "\"");
        }
        address.port = value;
    }
    return address;
}

MqttClient::MqttClient(const MqttSettings& settings, Listener& listener)
    : settings_(settings), listener_(listener) {
    InitialiseLibrary();
    client_ = mosquitto_new(settings_.clientId.c_str(), settings_.cleanSession, this);
    if (client_ == nullptr)
        throw MqttError("cannot make an MQTT client: out of memory");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION,
                         settings_.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(client_, settings_.maxInflight);
    mosquitto_connect_callback_set(client_, &MqttClient::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttClient::OnDisconnect);
    mosquitto_publish_callback_set(client_, &MqttClient::OnPublish);
    mosquitto_message_callback_set(client_, &MqttClient::OnMessage);
    int code = MOSQ_ERR_SUCCESS;
    if (!settings_.user.empty()) {
        code = mosquitto_username_pw_set(
            client_, settings_.user.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
        if (code != MOSQ_ERR_SUCCESS)
            throw MqttError("broker user: " + Why(code));
    }
    if (settings_.tls) {
        code = mosquitto_tls_set(client_, OrNull(settings_.ca),
                                 settings_.ca.empty() ? kSystemCertificates : nullptr,
                                 OrNull(settings_.certificate), OrNull(settings_.key), nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            throw MqttError("broker TLS settings (ca, certificate, key): " + Why(code));
        }
    }
    if (settings_.will) {
        const MqttMessage& will = *settings_.will;
        code =
            mosquitto_will_set(client_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                               will.payload.data(), will.qos, will.retain);
        if (code != MOSQ_ERR_SUCCESS)
            throw MqttError("last will: " + Why(code));
    }
}

MqttClient::~MqttClient() {
    mosquitto_destroy(client_);
}

void MqttClient::Connect() {
    int code = MOSQ_ERR_SUCCESS;
    if (settings_.mqtt5) {
        // The session's expiry goes in the CONNECT's properties, which the library sends only
        // from its blocking connect: the TCP (and TLS) connection is made here, the CONNACK
        // still comes through Service.
        mosquitto_property* properties = nullptr;
        const auto expiry = std::clamp<std::int64_t>(settings_.sessionExpiry.count(), 0,
                                                     std::numeric_limits<std::uint32_t>::max());
        code = mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                            static_cast<std::uint32_t>(expiry));
        if (code == MOSQ_ERR_SUCCESS) {
            code = mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port,
                                             settings_.keepalive, nullptr, properties);
        }
        mosquitto_property_free_all(&properties);
    } else {
        code = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port,
                                       settings_.keepalive);
    }
    if (code != MOSQ_ERR_SUCCESS) {
        Fail("cannot connect to " + settings_.host + ":" + std::to_string(settings_.port) + ": " +
             (code == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : Why(code)));
    }
}

MqttClient::Sent MqttClient::Publish(std::string_view topic, std::string_view payload, int qos,
                                     bool retain) {
    if (dead_)
        return {};
    int id = 0;
    const int code =
        mosquitto_publish(client_, &id, std::string(topic).c_str(),
                          static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (code == MOSQ_ERR_SUCCESS)
        return {Sent::Kind::Queued, id, {}};
    if (code == MOSQ_ERR_NO_CONN || code == MOSQ_ERR_CONN_LOST || code == MOSQ_ERR_ERRNO ||
        code == MOSQ_ERR_NOMEM) {
        Fail("publish: " + Why(code));
        return {};
    }
    return {Sent::Kind::Refused, 0, "publish to " + std::string(topic) + ": " + Why(code)};
}

bool MqttClient::Subscribe(std::string_view filter, int qos) {
    if (dead_)
        return false;
    const int code = mosquitto_subscribe(client_, nullptr, std::string(filter).c_str(), qos);
    if (code == MOSQ_ERR_SUCCESS)
        return true;
    Fail("subscribe to " + std::string(filter) + ": " + Why(code));
    return false;
}

void MqttClient::Disconnect() {
    if (!dead_)
        mosquitto_disconnect(client_);
}

void MqttClient::Service(int wakeFd, std::chrono::milliseconds timeout) {
    if (dead_)
        return;  // the owner drops it: nothing to wait for
    const int socket = mosquitto_socket(client_);
    std::array<pollfd, 2> watched{};
    watched[0] = {wakeFd, POLLIN, 0};
    watched[1] = {socket,
                  static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0)), 0};
    const nfds_t count = socket < 0 ? 1 : 2;
    if (::poll(watched.data(), count, static_cast<int>(timeout.count())) < 0 && errno != EINTR) {
        Fail(std::string("poll: ") + std::strerror(errno));
        return;
    }
    if (socket < 0)
        return;
    int code = MOSQ_ERR_SUCCESS;
    if (watched[1].revents & (POLLIN | POLLERR | POLLHUP))
        code = mosquitto_loop_read(client_, 1);
    if (code == MOSQ_ERR_SUCCESS && !dead_ && mosquitto_want_write(client_)) {
        code = mosquitto_loop_write(client_, 1);
    }
    if (code == MOSQ_ERR_SUCCESS && !dead_)
        code = mosquitto_loop_misc(client_);
    if (code != MOSQ_ERR_SUCCESS) {
        Fail(code == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : Why(code));
    }
}

void MqttClient::Fail(const std::string& why) {
    if (dead_)
        return;
    dead_ = true;
    listener_.Disconnected(why);
}

void MqttClient::OnConnect(mosquitto*, void* self, int code) {
    auto& client = *static_cast<MqttClient*>(self);
    if (code == 0) {
        client.listener_.Connected();
    } else {
        // A 5 broker answers with a reason code, a 3.1.1 one with a CONNACK return code.
        client.Fail(std::string("the broker refused us: ") +
                    (client.settings_.mqtt5 ? mosquitto_reason_string(code)
                                            : mosquitto_connack_string(code)));
    }
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int code) {
    static_cast<MqttClient*>(self)->Fail(code == 0 ? "disconnected"
                                                   : "connection lost: " + Why(code));
}

void MqttClient::OnPublish(mosquitto*, void* self, int messageId) {
    static_cast<MqttClient*>(self)->listener_.Acknowledged(messageId);
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    MqttMessage received;
    received.topic = message->topic;
    received.payload.assign(static_cast<const char*>(message->payload),
                            static_cast<std::size_t>(message->payloadlen));
    received.qos = message->qos;
    received.retain = message->retain;
    static_cast<MqttClient*>(self)->listener_.Received(received);
}

}  // namespace fuel::bridge
