#include "testing/ForkedChild.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace fuel::test {

void Say(int out, const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const auto written = ::write(out, text.data(), text.size());
}

ForkedChild::ForkedChild(const std::function<void(int out)>& body) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::close(pipe[0]);
        body(pipe[1]);
        ::_exit(0);
    }
    ::close(pipe[1]);
    in_ = pipe[0];
}

ForkedChild::~ForkedChild() {
    if (pid_ > 0)
        Kill();
    ::close(in_);
}

std::optional<std::string> ForkedChild::Line(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            lines_.push_back(line);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{in_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
            return std::nullopt;
        char chunk[512];
        const auto got = ::read(in_, chunk, sizeof chunk);
        if (got <= 0)
            return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
}

bool ForkedChild::Await(const std::string& word, std::chrono::milliseconds limit,
                        std::string& said) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const std::optional<std::string> line = Line(left);
        if (!line)
            return false;
        said += *line + "; ";
        if (line->starts_with("error"))
            return false;
        if (line->starts_with(word))
            return true;
    }
}

const std::vector<std::string>& ForkedChild::Said() {
    while (Line(std::chrono::milliseconds(0))) {
    }
    return lines_;
}

void ForkedChild::Kill() {
    ::kill(pid_, SIGKILL);
    Wait();
}

int ForkedChild::Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

}  // namespace fuel::test
