// A child process for tests that kill a program at a chosen moment: the child runs a function
// and tells the parent, one line at a time on a pipe, what it is about to do or has done; the
// parent reads those lines and kills the child (SIGKILL) when it has heard what it waited
// for. Fork only from a process with no threads of its own (the test program's main thread).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fuel::test {

// From the child: one line to the parent.
void Say(int out, const std::string& line);

class ForkedChild {
  public:
    // Runs body(out) in a new process; body never returns (it ends with _exit).
    explicit ForkedChild(const std::function<void(int out)>& body);
    ~ForkedChild();  // kills the child if it is still there
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    // The child's next line, or nullopt when none came in the time (or it ended).
    std::optional<std::string> Line(std::chrono::milliseconds wait);
    // Waits for a line that starts with `word`; false at a line that starts with "error", at
    // the child's end, or when the time is up. Every line read goes into `said`.
    bool Await(const std::string& word, std::chrono::milliseconds limit, std::string& said);
    // Every line the child said, those still in the pipe included.
    const std::vector<std::string>& Said();

    void Kill();
    int Wait();  // the child's wait status

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
};

}  // namespace fuel::test
