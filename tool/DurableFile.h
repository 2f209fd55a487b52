// The two operating-system steps of a save that survives a crash or a full disk: a new file
// whose bytes are on the disk before it is used, and putting it in place of the old file in
// one step. Each platform's library implements them (platform/posix, platform/win32), and
// the build links the tool with its own platform's.
#pragma once

#include <filesystem>
#include <string_view>

namespace fuel::tool::durable {

// Creates the file, which must not exist yet, writes the bytes and flushes them to the disk.
// Returns false, having touched nothing, when a file of that name exists; throws
// fuel::Exception for any other failure (and leaves no file behind).
bool WriteNewFile(const std::filesystem::path& path, std::string_view bytes);

// Puts `from` in the place of `to` (which may exist) in one step, on the same volume: a
// reader finds either the old file whole or the new one whole. Throws fuel::Exception.
void PutInPlace(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace fuel::tool::durable
