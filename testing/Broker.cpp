#include "testing/Broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fuel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/local/sbin:/sbin";
    for (std::size_t start = 0; start <= path.size();) {
        const auto end = std::min(path.find(':', start), path.size());
        const fs::path candidate = fs::path(path.substr(start, end - start)) / name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    throw std::runtime_error(name + " is not installed (scripts/install-deps.sh installs it)");
}

std::string CurrentUser() {
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr ? user->pw_name : "root";
}

int FreePort() {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free loopback port");
    }
    ::close(socket);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected =
        ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

// Runs a program to its end, quietly; throws when it fails.
void Run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot run " + arguments[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(arguments[0] + " " + arguments.at(1) + " failed");
    }
}

// A certificate authority, the broker's certificate for 127.0.0.1, and one per client.
void MakeCertificates(const fs::path& dir, const std::vector<std::string>& clients) {
    const std::string openssl = FindProgram("openssl").string();
    const auto in = [&](const std::string& name) { return (dir / name).string(); };
    Run({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=test-ca", "-keyout", in("ca.key"), "-out", in("ca.pem")});
    WriteBytes(dir / "server.ext", "subjectAltName = IP:127.0.0.1\n");
    const auto make = [&](const std::string& name, const std::string& commonName, bool server) {
        Run({openssl, "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + commonName,
             "-keyout", in(name + ".key"), "-out", in(name + ".csr")});
        std::vector<std::string> sign = {openssl,
                                         "x509",
                                         "-req",
                                         "-in",
                                         in(name + ".csr"),
                                         "-CA",
                                         in("ca.pem"),
                                         "-CAkey",
                                         in("ca.key"),
                                         "-CAcreateserial",
                                         "-days",
                                         "2",
                                         "-out",
                                         in(name + ".pem")};
        if (server) {
            sign.push_back("-extfile");
            sign.push_back(in("server.ext"));
        }
        Run(sign);
    };
    make("server", "127.0.0.1", true);
    for (const std::string& client : clients)
        make(client, client, false);
}

}  // namespace

MosquittoBroker::MosquittoBroker(BrokerSetup setup) : program_(FindProgram("mosquitto")) {
    const fs::path dir = directory_.Path();
    std::string extra = "allow_anonymous true\n";
    if (!setup.users.empty()) {
        const fs::path passwords = dir / "passwords";
        WriteBytes(passwords, "");
        for (const auto& [user, password] : setup.users) {
            Run({FindProgram("mosquitto_passwd").string(), "-b", passwords.string(), user,
                 password});
        }
        WriteBytes(dir / "acl", setup.acl);
        extra = "allow_anonymous false\npassword_file " + passwords.string() + "\nacl_file " +
                (dir / "acl").string() + "\n";
    }
    WriteBytes(dir / "extra.conf", extra + setup.config);
    if (!setup.tlsClients.empty()) {
        MakeCertificates(dir, setup.tlsClients);
        tls_ = true;
    }
    for (int attempt = 0;; ++attempt) {
        port_ = FreePort();
        if (tls_) {
            do {
                tlsPort_ = FreePort();
            } while (tlsPort_ == port_);
        }
        try {
            Launch();
            return;
        } catch (const std::runtime_error&) {
            if (attempt == 4)
                throw;  // another process took the port in between: again
        }
    }
}

MosquittoBroker::~MosquittoBroker() {
    Stop();
}

std::string MosquittoBroker::Url() const {
    return "mqtt://127.0.0.1:" + std::to_string(port_);
}

void MosquittoBroker::Launch() {
    const fs::path dir = directory_.Path();
    WriteBytes(
        dir / "mosquitto.conf",
        "listener " + std::to_string(port_) + " 127.0.0.1\n" +
            // Run as root, mosquitto would become the user "mosquitto", who may
            // write neither its log nor its persistence in our directory.
            "user " + CurrentUser() + "\n" + ReadBytes(dir / "extra.conf") +
            "persistence true\n"
            "persistence_location " +
            dir.string() +
            "/\n"
            "autosave_interval 0\n"
            // A back office subscriber that falls behind must lose nothing in a test.
            "max_queued_messages 0\n"
            "max_queued_bytes 0\n"
            "log_dest file " +
            (dir / "mosquitto.log").string() + "\n" +
            (tls_ ? "listener " + std::to_string(tlsPort_) + " 127.0.0.1\n" + "cafile " +
                        (dir / "ca.pem").string() + "\ncertfile " + (dir / "server.pem").string() +
                        "\nkeyfile " + (dir / "server.key").string() +
                        "\nrequire_certificate true\nuse_identity_as_username true\n"
                  : std::string()));
    const std::string program = program_.string();
    const std::string config = (dir / "mosquitto.conf").string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-c"),
                    const_cast<char*>(config.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + program);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Accepts(port_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ ||
            std::chrono::steady_clock::now() > deadline) {
            if (::kill(pid_, 0) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
            throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_) +
                                     ": " + ReadBytes(dir / "stdout") +
                                     ReadBytes(dir / "mosquitto.log"));
        }
        std::this_thread::sleep_for(10ms);
    }
}

void MosquittoBroker::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

void MosquittoBroker::Start() {
    if (pid_ <= 0)
        Launch();
}

void MosquittoBroker::Forget() {
    Stop();
    std::error_code ignored;
    fs::remove(directory_.Path() / "mosquitto.db", ignored);
}

// ---- MqttPeer

MqttPeer::MqttPeer(int port, std::vector<std::string> filters, std::string clientId,
                   std::string user, std::string password)
    : filters_(std::move(filters)) {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    static std::atomic<int> peers{0};
    if (clientId.empty()) {
        clientId = "peer-" + std::to_string(::getpid()) + "-" + std::to_string(++peers);
    }
    client_ = mosquitto_new(clientId.c_str(), false, this);
    if (client_ == nullptr)
        throw std::runtime_error("mosquitto_new failed");
    if (!user.empty())
        mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    mosquitto_connect_callback_set(client_, &MqttPeer::OnConnect);
    mosquitto_message_callback_set(client_, &MqttPeer::OnMessage);
    mosquitto_publish_callback_set(client_, &MqttPeer::OnPublish);
    mosquitto_subscribe_callback_set(client_, &MqttPeer::OnSubscribe);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        throw std::runtime_error("cannot connect to the broker on port " + std::to_string(port));
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s,
                           [&] { return subscribed_ >= static_cast<int>(filters_.size()); })) {
        lock.unlock();
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
        throw std::runtime_error("the broker did not confirm the subscription");
    }
}

MqttPeer::~MqttPeer() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

std::vector<MqttPeer::Message> MqttPeer::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

bool MqttPeer::WaitFor(const std::function<bool(const std::vector<Message>&)>& done,
                       std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(messages_); });
}

bool MqttPeer::Publish(const std::string& topic, const std::string& payload,
                       std::chrono::milliseconds timeout) {
    int id = 0;
    if (mosquitto_publish(client_, &id, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::find(acknowledged_.begin(), acknowledged_.end(), id) != acknowledged_.end();
    });
}

void MqttPeer::Clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

void MqttPeer::OnConnect(mosquitto* client, void* self, int code) {
    if (code != 0)
        return;
    for (const std::string& filter : static_cast<MqttPeer*>(self)->filters_) {
        mosquitto_subscribe(client, nullptr, filter.c_str(), 1);
    }
}

void MqttPeer::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& peer = *static_cast<MqttPeer*>(self);
    std::lock_guard lock(peer.mutex_);
    peer.messages_.push_back({message->topic,
                              std::string(static_cast<const char*>(message->payload),
                                          static_cast<std::size_t>(message->payloadlen)),
                              message->retain, std::chrono::steady_clock::now()});
    peer.changed_.notify_all();
}

void MqttPeer::OnPublish(mosquitto*, void* self, int id) {
    auto& peer = *static_cast<MqttPeer*>(self);
    std::lock_guard lock(peer.mutex_);
    peer.acknowledged_.push_back(id);
    peer.changed_.notify_all();
}

void MqttPeer::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
    auto& peer = *static_cast<MqttPeer*>(self);
    std::lock_guard lock(peer.mutex_);
    ++peer.subscribed_;
    peer.changed_.notify_all();
}

}  // namespace fuel::test
