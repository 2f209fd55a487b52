#include "tests/cli/CliTestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "cli/Program.h"

namespace fuel::test {
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

Outcome RunInProcess(const std::vector<std::string>& words, const std::string& input) {
    EXPECT_TRUE(kOptionsIsolated);
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int status = cli::RunProgram(words, in, out, err);
    return {status, out.str(), err.str()};
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
    const fs::path& dir = Dir();
    WriteBytes(dir / "in", input);
    command += " <" + Quoted((dir / "in").string()) + " >" + Quoted((dir / "out").string()) +
               " 2>" + Quoted((dir / "err").string());
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadBytes(dir / "out"), ReadBytes(dir / "err")};
}

}  // namespace fuel::test
