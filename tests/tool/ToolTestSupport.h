// What the service tool's tests share: a private directory that goes away with the test,
// files as bytes, and a controller's memory behind a recording link.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "tests/support/RecordingLink.h"

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
std::string ReadBytes(const std::filesystem::path& path);
// The names in a directory, sorted.
std::string Listing(const std::filesystem::path& directory);

// Controllers' RAM and ROM as the line's far end: answers the cell commands (X, Y, x, y) of
// every address, and stays silent for the others.
class FakeCells {
  public:
    explicit FakeCells(RecordingLink& link);
    std::array<std::uint8_t, 256>& Ram(std::uint8_t address) { return ram_[address]; }
    std::array<std::uint8_t, 256>& Rom(std::uint8_t address) { return rom_[address]; }
    int writes = 0;

  private:
    std::map<std::uint8_t, std::array<std::uint8_t, 256>> ram_;
    std::map<std::uint8_t, std::array<std::uint8_t, 256>> rom_;
};

}  // namespace fuel::test
