#include "http/Log.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <string>

namespace fuel::http {
namespace {

std::atomic<bool> verbose{false};
std::mutex mutex;

constexpr std::string_view kRedacted = "REDACTED";

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int Hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A query parameter's name as the router reads it: escapes decoded, '+' a space, any case.
std::string DecodedName(std::string_view name) {
    std::string decoded;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && Hex(name[i + 1]) >= 0 &&
            Hex(name[i + 2]) >= 0) {
            decoded.push_back(Lower(static_cast<char>(Hex(name[i + 1]) * 16 + Hex(name[i + 2]))));
            i += 2;
        } else {
            decoded.push_back(name[i] == '+' ? ' ' : Lower(name[i]));
        }
    }
    return decoded;
}

bool EndsValue(char c) {
    return c == '&' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '#' || c == '"' ||
           c == '\'';
}

bool StartsName(char c) {
    return c == '?' || c == '&' || c == ' ' || c == '\t' || c == '"' || c == '\'';
}

}  // namespace

std::string Redacted(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    std::size_t i = 0;
    while (i < message.size()) {
        // "Bearer TOKEN", the scheme in any case.
        constexpr std::string_view kBearer = "bearer";
        if (i + kBearer.size() < message.size() &&
            (i == 0 || !std::isalnum(static_cast<unsigned char>(message[i - 1])))) {
            bool same = true;
            for (std::size_t k = 0; k < kBearer.size() && same; ++k)
                same = Lower(message[i + k]) == kBearer[k];
            std::size_t j = i + kBearer.size();
            if (same && (message[j] == ' ' || message[j] == '\t')) {
                while (j < message.size() && (message[j] == ' ' || message[j] == '\t'))
                    ++j;
                if (j < message.size() && !EndsValue(message[j])) {
                    out.append(message.substr(i, j - i));
                    out.append(kRedacted);
                    while (j < message.size() && !EndsValue(message[j]) && message[j] != ',')
                        ++j;
                    i = j;
                    continue;
                }
            }
        }
        // NAME=VALUE at the start of a query parameter (or of the message, or after a space:
        // a query quoted on its own).
        if (i == 0 || StartsName(message[i - 1])) {
            std::size_t j = i;
            while (j < message.size() && message[j] != '=' && !EndsValue(message[j]) &&
                   message[j] != '?') {
                ++j;
            }
            if (j < message.size() && message[j] == '=' &&
                DecodedName(message.substr(i, j - i)) == "access_token") {
                out.append(message.substr(i, j + 1 - i));
                out.append(kRedacted);
                ++j;
                while (j < message.size() && !EndsValue(message[j]))
                    ++j;
                i = j;
                continue;
            }
        }
        out.push_back(message[i]);
        ++i;
    }
    return out;
}

void Log(Priority priority, std::string_view message) {
    if (priority == Priority::Debug && !verbose)
        return;
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">";
    // One message is one line: a newline inside would read as a new message without a
    // priority.
    for (const char c : Redacted(message))
        line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    line.push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void SetVerbose(bool on) {
    verbose = on;
}

}  // namespace fuel::http
