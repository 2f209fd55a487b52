#include "tests/cli/CliTestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "cli/Program.h"

namespace fuel::cli::test {
namespace {

namespace fs = std::filesystem;

constexpr char kNoOptionsFile[] = "/nonexistent/cnf.INI";

const bool kOptionsIsolated = ::setenv("CNF_INI", kNoOptionsFile, 1) == 0;

std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Outcome RunInProcess(const std::vector<std::string>& words, const std::string& input) {
    EXPECT_TRUE(kOptionsIsolated);
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunProgram(words, in, out, err);
    return {status, out.str(), err.str()};
}

BuiltProgram::BuiltProgram()
    : dir_(fs::temp_directory_path() / ("fuelctl-test-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(std::random_device{}()))) {
    fs::create_directories(dir_);
}

BuiltProgram::~BuiltProgram() {
    fs::remove_all(dir_);
}

Outcome BuiltProgram::Run(const std::vector<std::string>& words, const std::string& input,
                          const std::vector<std::string>& environment) const {
    std::string command = std::string("CNF_INI=") + kNoOptionsFile;
    for (const std::string& assignment : environment) {
        const auto equals = assignment.find('=');
        command += " " + assignment.substr(0, equals + 1) + Quoted(assignment.substr(equals + 1));
    }
    command += " " + Quoted(FUELCTL_PATH);
    for (const std::string& word : words) {
        command += " " + Quoted(word);
    }
    std::ofstream(dir_ / "in", std::ios::binary) << input;
    command += " <" + Quoted((dir_ / "in").string()) + " >" + Quoted((dir_ / "out").string()) +
               " 2>" + Quoted((dir_ / "err").string());
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir_ / "out"), ReadFile(dir_ / "err")};
}

}  // namespace fuel::cli::test
