// What both daemons' command lines share: the values of their options (whole numbers,
// seconds, ADDRESS:PORT) read strictly, and the listener's settings checked once they are
// all given. A mistake is the user's, so every failure is a UsageError (exit status 2).
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "http/Settings.h"

namespace fuel::http {

// A whole number from low to high; `what` names the option in the message.
std::int64_t Number(const std::string& text, std::string_view what, std::int64_t low,
                    std::int64_t high);
// Seconds from 0.01 to 86400, with a fraction.
std::chrono::milliseconds Seconds(const std::string& text, std::string_view what);
// --listen's ADDR:PORT or [IPv6]:PORT, into the settings' host and port.
void ParseListen(const std::string& text, ListenerSettings& settings);
// The settings as a whole: a certificate and its key together, and plain HTTP only on the
// loopback address unless insecure.
void CheckListener(const ListenerSettings& settings);

// One option of a daemon's command line, applied to that daemon's invocation.
template <class Invocation>
struct CommandLineOption {
    std::string_view name;       // without "--"
    std::string_view valueName;  // empty for a switch
    std::string_view help;
    // Applies the value (empty for a switch); throws UsageError.
    std::function<void(Invocation&, const std::string&)> apply;
};

// The listener's options, the same in every daemon: --listen (its help, with the daemon's
// default address, is the daemon's), --tls-cert, --tls-key, --insecure, the connection
// limits and the request times. `settings` reaches an invocation's listener settings.
template <class Invocation>
std::vector<CommandLineOption<Invocation>> ListenerOptions(
    ListenerSettings& (*settings)(Invocation&), std::string_view listenHelp) {
    using Apply = std::function<void(Invocation&, const std::string&)>;
    const auto on = [settings](void (*change)(ListenerSettings&, const std::string&)) -> Apply {
        return [settings, change](Invocation& i, const std::string& v) { change(settings(i), v); };
    };
    return {
        {"listen", "ADDR:PORT", listenHelp,
         on([](ListenerSettings& s, const std::string& v) { ParseListen(v, s); })},
        {"tls-cert", "FILE", "serve HTTPS with this certificate chain (PEM)",
         on([](ListenerSettings& s, const std::string& v) { s.tlsCertificate = v; })},
        {"tls-key", "FILE", "the certificate's private key (PEM)",
         on([](ListenerSettings& s, const std::string& v) { s.tlsKey = v; })},
        {"insecure", "", "allow plain HTTP on an address other than the loopback",
         on([](ListenerSettings& s, const std::string&) { s.insecure = true; })},
        {"max-connections", "N", "connections at once; more are answered 503 (default 512)",
         on([](ListenerSettings& s, const std::string& v) {
             s.maxConnections =
                 static_cast<std::size_t>(Number(v, "--max-connections", 1, 1000000));
         })},
        {"max-connections-per-peer", "N",
         "connections at once from one address; more are answered 503 (default 64)",
         on([](ListenerSettings& s, const std::string& v) {
             s.maxConnectionsPerPeer =
                 static_cast<std::size_t>(Number(v, "--max-connections-per-peer", 1, 1000000));
         })},
        {"header-timeout", "SECONDS",
         "time for a request's header to arrive whole, and for a kept connection to stay "
         "silent (default 5)",
         on([](ListenerSettings& s, const std::string& v) {
             s.headerTimeout = Seconds(v, "--header-timeout");
         })},
        {"request-timeout", "SECONDS",
         "time for a request to arrive whole; later it is answered 408 (default 30)",
         on([](ListenerSettings& s, const std::string& v) {
             s.requestTimeout = Seconds(v, "--request-timeout");
         })},
    };
}

// The words of a command line read against a daemon's options: "--name value",
// "--name=value" and switches applied to the invocation in their order, the other words
// kept as operands. Throws UsageError for an unknown option, a switch given a value and an
// option without its value.
struct ReadWords {
    std::vector<std::string> operands;
    std::set<std::string> given;  // the options' names that were given
};
template <class Invocation>
ReadWords ReadCommandLine(const std::vector<CommandLineOption<Invocation>>& options,
                          const std::vector<std::string>& words, Invocation& invocation) {
    ReadWords read;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            read.operands.push_back(word);
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name =
            word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const CommandLineOption<Invocation>* option = nullptr;
        for (const auto& candidate : options) {
            if (candidate.name == name)
                option = &candidate;
        }
        if (option == nullptr)
            throw UsageError("unknown option --" + name);
        std::string value;
        if (option->valueName.empty()) {
            if (equals != std::string::npos)
                throw UsageError("--" + name + " takes no value");
        } else if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            value = words[++i];
        } else {
            throw UsageError("--" + name + " needs a value: --" + name + " " +
                             std::string(option->valueName));
        }
        read.given.insert(name);
        option->apply(invocation, value);
    }
    return read;
}

// The options for --help: "  --name VALUE" and its help, one to a line.
template <class Invocation>
std::string OptionsHelp(const std::vector<CommandLineOption<Invocation>>& options) {
    std::string text;
    for (const auto& option : options) {
        std::string left = "  --" + std::string(option.name);
        if (!option.valueName.empty())
            left += " " + std::string(option.valueName);
        if (left.size() < 28)
            left.resize(28, ' ');
        text += left + " " + std::string(option.help) + "\n";
    }
    return text;
}

// A daemon's command line, from its words to its exit status: a mistake in it is told with
// where the help is (2); --help and --version are answered here (the invocation's command
// Help and Version) and every other command is `run`'s. A failure is logged when the daemon
// was serving (command Run), told on `err` when it ran a command (1).
template <class Invocation>
int RunCommandLine(std::string_view program, std::string_view version,
                   const std::vector<std::string>& words, std::ostream& out, std::ostream& err,
                   Invocation (*parse)(const std::vector<std::string>&), std::string (*help)(),
                   const std::function<int(const Invocation&)>& run,
                   const std::function<void(const std::string&)>& logError) {
    using Command = decltype(Invocation{}.command);
    Invocation invocation;
    try {
        invocation = parse(words);
    } catch (const UsageError& e) {
        err << program << ": " << e.what() << "\nTry '" << program << " --help'.\n";
        return 2;
    }
    try {
        switch (invocation.command) {
            case Command::Help:
                out << help();
                return 0;
            case Command::Version:
                out << program << ' ' << version << '\n';
                return 0;
            default:
                return run(invocation);
        }
    } catch (const std::exception& e) {
        if (invocation.command == Command::Run)
            logError(e.what());
        else
            err << program << ": " << e.what() << '\n';
        return 1;
    }
}

}  // namespace fuel::http
