// fuel-forecourtd's command line: how to run the server, or which token command to carry out.
// A mistake here is the user's, so every failure is a UsageError (exit status 2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "http/Settings.h"
#include "server/Roles.h"

namespace fuel::server {

using http::UsageError;

inline constexpr std::uint16_t kDefaultPort = 8470;

// Where and how to listen (the HTTP stack's settings), and what is the forecourt's own.
struct ServerSettings : http::ListenerSettings {
    ServerSettings();  // on kDefaultPort, named fuel-forecourtd/VERSION

    std::filesystem::path config;    // empty: the example station
    std::filesystem::path database;  // empty: the configuration's
    std::size_t clientQueue = 4096;  // events an event client may fall behind
    bool verbose = false;            // log every request
};

enum class Command { Run, TokenAdd, TokenList, TokenRevoke, Backup, Check, Help, Version };

struct Invocation {
    Command command = Command::Run;
    ServerSettings settings;
    std::string tokenName;     // token add / revoke
    Role role = Role::Viewer;  // token add
    std::string backupFile;    // backup
};

// The words after the program's name.
Invocation ParseCommandLine(const std::vector<std::string>& words);
std::string HelpText();

}  // namespace fuel::server
