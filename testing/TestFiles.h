// Files a test makes: a private directory that goes away with the test, and files as bytes.
#pragma once

#include <filesystem>
#include <string>

namespace fuel::test {

class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
// The whole file; empty when there is none.
std::string ReadBytes(const std::filesystem::path& path);

}  // namespace fuel::test
