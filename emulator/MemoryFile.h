// An emulated bus whose controllers, and the customers at its pumps, outlive its process as
// real controllers outlive their host: their memory (emulator/Memory.h) in a file, read
// back when the bus opens and written whole whenever it changes, never on a mere poll. Each
// write goes to a temporary file beside it, is flushed to the disk and then takes the old
// file's place in one step (tool/AtomicFile.h), so that a crash at any instant leaves the
// old memory or the new one, never half of one. What happened while nobody ran the bus
// happens at the open: a fill that was running has flowed on in wall-clock time, up to its
// dose, and a customer who wanted less has hung up at it.
//
// Kept on the bus's own thread: the saves run inside the bus's and the customers' calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "emulator/Customers.h"
#include "emulator/Emulator.h"
#include "emulator/Memory.h"

namespace fuel::emulator {

class MemoryFile {
  public:
    using WallClock = std::function<WallTime()>;
    static WallTime SystemWallClock();

    // Reads the file, when there is one, into the bus and its customers (nullptr: none) and
    // writes it anew, and from then on keeps it: the bus and the customers must outlive this
    // object, which takes their onMemoryChanged. No file is a fresh start from the bus's
    // configuration. Throws MemoryError, whose message names the file and says what to do,
    // when the file cannot be read, is damaged or does not fit the bus, or cannot be
    // written: a bus that could not remember would run its totals backwards at the next
    // start.
    MemoryFile(std::filesystem::path path, Emulator& bus, Customers* customers,
               WallClock wallClock = SystemWallClock);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Writes the memory when it differs from what the file holds. A write that fails keeps
    // the memory due and tells onProblem (once, until a write succeeds again); false then.
    bool Save();
    // Tries a failed write again; otherwise does nothing. For the bus's loop, now and then.
    void SaveIfDue();
    // A write that failed, and that writing works again. Standard error unless set.
    std::function<void(const std::string& message)> onProblem;
    // Writes done since the open, the first included.
    std::uint64_t Writes() const { return writes_; }

  private:
    Memory Capture() const;

    std::filesystem::path path_;
    Emulator& bus_;
    Customers* customers_;
    // The wall time at which the bus's clock read zero, fixed at the open: a fill's start
    // then reads the same in every save, and a save that changes nothing writes nothing.
    // (A wall clock set while the bus runs moves no fill; the next open reads it anew.)
    WallTime clockStart_{};
    Memory written_;
    bool due_ = true;
    std::uint64_t writes_ = 0;
};

}  // namespace fuel::emulator
