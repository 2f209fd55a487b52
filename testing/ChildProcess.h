// A program run beside a test (the daemon, typically): started with its standard output and
// error in files, signalled, waited for with a time-out, and killed if the test ends first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fuel::test {

class ChildProcess {
  public:
    // Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 const std::filesystem::path& output, const std::filesystem::path& errors);
    ~ChildProcess();  // SIGKILL and reaped, if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal);
    // The exit status (128 + N for death by signal N), or nullopt while it still runs at the
    // end of the wait.
    std::optional<int> Wait(std::chrono::milliseconds wait);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a command of a program to its end (a token made, a journal checked) and gives what it
// wrote on its standard output without the final newlines; throws std::runtime_error, with
// what it wrote on its standard error, when it fails or outlasts `wait`. Its output passes
// through files in `directory`.
std::string RunForOutput(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& directory, std::chrono::milliseconds wait);

// Waits until the file holds the text (a log line a program writes when it is ready);
// returns the file's content from the text's start to the line's end, or nullopt.
std::optional<std::string> WaitForText(const std::filesystem::path& file, const std::string& text,
                                       std::chrono::milliseconds wait);

}  // namespace fuel::test
