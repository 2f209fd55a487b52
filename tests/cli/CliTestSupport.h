// What the command-line program's tests share: running its commands in this process, or the
// built program as a person runs it, and what a run gives back. Either way the machine's
// driver options file is kept out: a missing file leaves the defaults (StartInLiter on, the
// others off).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "testing/TestFiles.h"

namespace fuel::test {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

bool Contains(const std::string& text, const std::string& part);

// The words run as the program runs them, with `input` as standard input.
Outcome RunInProcess(const std::vector<std::string>& words, const std::string& input = "");

// The built fuelctl run by the shell, its standard input, output and error in files of a
// directory of its own (Dir), which goes away with it.
class BuiltProgram {
  public:
    const std::filesystem::path& Dir() const { return dir_.Path(); }

    // environment: NAME=VALUE words set for this run only.
    Outcome Run(const std::vector<std::string>& words, const std::string& input = "",
                const std::vector<std::string>& environment = {}) const;

  private:
    TemporaryDirectory dir_;
};

}  // namespace fuel::test
