// fuel-hq's command line: how to run a worker, or which token command to carry out. The
// broker, the database and the intake's timing are the configuration file's (Config.h);
// where and how to listen are options, as fuel-forecourtd's. A mistake here is the user's,
// so every failure is a UsageError (exit status 2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "http/Settings.h"

namespace fuel::hq {

using http::UsageError;

inline constexpr std::uint16_t kDefaultPort = 8480;
inline constexpr char kDefaultConfig[] = "/etc/fuel/hq.ini";

struct HqSettings : http::ListenerSettings {
    HqSettings();  // on kDefaultPort, named fuel-hq/VERSION

    std::filesystem::path config = kDefaultConfig;
    std::string database;            // empty: the configuration's
    std::size_t clientQueue = 1024;  // changes a stream client may fall behind
    bool verbose = false;
};

enum class Command { Run, TokenAdd, TokenList, TokenRevoke, Help, Version };

struct Invocation {
    Command command = Command::Run;
    HqSettings settings;
    std::string tokenName;  // token add / revoke
    std::string role;       // token add: one of Roles()
};

// The words after the program's name.
Invocation ParseCommandLine(const std::vector<std::string>& words);
std::string HelpText();

}  // namespace fuel::hq
