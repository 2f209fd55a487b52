#include "emulator/MemoryFile.h"

#include <algorithm>
#include <iostream>
#include <optional>

#include "tool/AtomicFile.h"
#include "tool/Utf8Path.h"

namespace fuel::emulator {
namespace {

std::string Named(const std::filesystem::path& path) {
    return tool::Utf8FromPath(path);
}

constexpr std::string_view kAfresh =
    "; delete the file (or move it away) to start the emulated controllers afresh from "
    "their bus configuration, forgetting their totals, prices and running fills";

}  // namespace

WallTime MemoryFile::SystemWallClock() {
    return std::chrono::time_point_cast<Duration>(std::chrono::system_clock::now());
}

MemoryFile::MemoryFile(std::filesystem::path path, Emulator& bus, Customers* customers,
                       WallClock wallClock)
    : path_(std::move(path)), bus_(bus), customers_(customers) {
    std::optional<std::string> text;
    try {
        text = tool::ReadExistingFile(path_);
    } catch (const std::exception& error) {
        throw MemoryError(Named(path_) + ": the emulated controllers' memory cannot be read (" +
                          error.what() + ")" + std::string(kAfresh));
    }
    clockStart_ = wallClock() - bus_.Now();
    if (text) {
        try {
            const Memory memory = ParseMemory(*text);
            // A wall clock set back since the save must not run a fill backwards.
            clockStart_ = std::max(clockStart_, memory.saved - bus_.Now());
            bus_.Restore(memory.controllers, clockStart_);
            if (customers_ != nullptr)
                customers_->Restore(memory.customers, clockStart_);
        } catch (const MemoryError& error) {
            throw MemoryError(Named(path_) +
                              ": the emulated controllers' memory cannot be read back: " +
                              error.what() + std::string(kAfresh));
        }
    }
    Memory memory = Capture();
    try {
        tool::SaveFileAtomically(path_, FormatMemory(memory));
    } catch (const std::exception& error) {
        throw MemoryError(Named(path_) + ": the emulated controllers' memory cannot be written (" +
                          error.what() + ")");
    }
    written_ = std::move(memory);
    due_ = false;
    writes_ = 1;
    bus_.onMemoryChanged = [this] { Save(); };
    if (customers_ != nullptr)
        customers_->onMemoryChanged = [this] { Save(); };
    onProblem = [](const std::string& message) { std::cerr << message << std::endl; };
}

MemoryFile::~MemoryFile() {
    bus_.onMemoryChanged = nullptr;
    if (customers_ != nullptr)
        customers_->onMemoryChanged = nullptr;
}

Memory MemoryFile::Capture() const {
    Memory memory;
    memory.saved = clockStart_ + bus_.Now();
    memory.controllers = bus_.Remember(clockStart_);
    if (customers_ != nullptr)
        memory.customers = customers_->Remember(clockStart_);
    return memory;
}

bool MemoryFile::Save() {
    Memory memory = Capture();
    if (!due_ && memory.controllers == written_.controllers &&
        memory.customers == written_.customers)
        return true;
    try {
        tool::SaveFileAtomically(path_, FormatMemory(memory));
    } catch (const std::exception& error) {
        if (!due_ && onProblem) {
            onProblem(Named(path_) + ": the emulated controllers' memory is not saved (" +
                      error.what() +
                      "); a restart now would forget the latest changes. "
                      "Trying again at the next change.");
        }
        due_ = true;
        return false;
    }
    if (due_ && writes_ > 0 && onProblem)
        onProblem(Named(path_) + ": the emulated controllers' memory is saved again");
    written_ = std::move(memory);
    due_ = false;
    ++writes_;
    return true;
}

void MemoryFile::SaveIfDue() {
    if (due_)
        Save();
}

}  // namespace fuel::emulator
