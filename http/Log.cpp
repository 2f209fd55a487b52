#include "http/Log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace fuel::http {
namespace {

std::atomic<bool> verbose{false};
std::mutex mutex;

}  // namespace

void Log(Priority priority, std::string_view message) {
    if (priority == Priority::Debug && !verbose)
        return;
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">";
    // One message is one line: a newline inside would read as a new message without a
    // priority.
    for (const char c : message)
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
