// What the service tool's tests share: a private directory that goes away with the test,
// files as bytes (testing/TestFiles.h), and a controller's memory behind a recording
// link.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "testing/RecordingLink.h"
#include "testing/TestFiles.h"

namespace fuel::test {

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
