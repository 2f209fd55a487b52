#include "testing/EmulatorProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace fuel::test {
namespace {

// How long the emulator may take to open its line and say where it serves, on a machine
// busy with other work.
constexpr int kStartTimeoutMs = 10000;

}  // namespace

EmulatorProcess::EmulatorProcess(EmulatorLaunch launch) {
    std::vector<std::string> words = {launch.program, "--quiet"};
    if (launch.config) {
        words.insert(words.end(), {"--config", *launch.config});
    }
    if (launch.tcpPort) {
        words.insert(words.end(), {"--tcp", std::to_string(*launch.tcpPort)});
    }
    if (launch.link) {
        words.insert(words.end(), {"--link", *launch.link});
    }
    words.insert(words.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + launch.program);
    }
    // The first line is the device or the address; the line is open, or the port listening,
    // before it is printed.
    char c = 0;
    pollfd waiting{out[0], POLLIN, 0};
    while (::poll(&waiting, 1, kStartTimeoutMs) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
        device_ += c;
    }
    ::close(out[0]);
    if (device_.rfind("/dev/", 0) != 0 && device_.rfind("tcp://127.0.0.1:", 0) != 0) {
        Kill();
        throw std::runtime_error(launch.program + " printed no device or address, but \"" +
                                 device_ + "\"");
    }
}

EmulatorProcess::~EmulatorProcess() {
    Stop();
}

std::uint16_t EmulatorProcess::TcpPort() const {
    if (device_.rfind("tcp://", 0) != 0) {
        return 0;
    }
    return static_cast<std::uint16_t>(std::stoi(device_.substr(device_.rfind(':') + 1)));
}

void EmulatorProcess::Stop() {
    End(SIGTERM);
}

void EmulatorProcess::Kill() {
    End(SIGKILL);
}

void EmulatorProcess::End(int signal) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace fuel::test
