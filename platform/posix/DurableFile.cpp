// Durable files on POSIX: O_EXCL for a new file, fsync before it is used, rename(2) to put it
// in place (atomic within a file system), then fsync of the directory so that the new name
// itself survives a power loss.
#include "tool/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "driver/Exceptions.h"

namespace fuel::tool::durable {
namespace {

// A POSIX path is its bytes, which the program's paths make UTF-8.
[[noreturn]] void Fail(const char* what, const std::filesystem::path& path, int error) {
    throw Exception(std::string(what) + path.string() + ": " + std::strerror(error));
}

// A directory whose entries changed is flushed too; some file systems cannot, which costs
// only the durability they do not offer anyway.
void SyncDirectoryOf(const std::filesystem::path& path) {
    const std::filesystem::path directory =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A file that could not be written whole is not left behind.
[[noreturn]] void Abandon(int fd, const std::filesystem::path& path, int error) {
    ::close(fd);
    ::unlink(path.c_str());
    Fail("Невозможно записать файл ", path, error);
}

}  // namespace

bool WriteNewFile(const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) {
            return false;
        }
        Fail("Невозможно создать файл ", path, errno);
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Abandon(fd, path, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(fd) != 0) {
        Abandon(fd, path, errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        Fail("Невозможно записать файл ", path, error);
    }
    return true;
}

void PutInPlace(const std::filesystem::path& from, const std::filesystem::path& to) {
    // The new file keeps the permissions the old one had.
    struct stat old {};
    if (::stat(to.c_str(), &old) == 0) {
        ::chmod(from.c_str(), old.st_mode & 07777);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        Fail("Невозможно заменить файл ", to, errno);
    }
    SyncDirectoryOf(to);
}

}  // namespace fuel::tool::durable
