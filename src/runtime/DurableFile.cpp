#include "runtime/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qb {

namespace fs = std::filesystem;

namespace {

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool syncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

bool createFoldersDurably(const fs::path& folder, std::string* error)
{
    std::error_code ec;
    // The outermost folder that is missing: everything from it down is new.
    fs::path missing;
    for (fs::path at = folder; !at.empty() && !fs::exists(at, ec); at = at.parent_path()) {
        missing = at;
        if (at == at.parent_path()) break;
    }
    if (missing.empty()) return true;
    fs::create_directories(folder, ec);
    if (ec) {
        if (error) *error = "cannot create " + folder.string() + ": " + ec.message();
        return false;
    }
    for (fs::path at = folder;; at = at.parent_path()) {
        syncFolder(at.has_parent_path() ? at.parent_path() : fs::path("."));
        if (at == missing) break;
    }
    return true;
}

bool writeFileDurably(const fs::path& path, std::string_view content, mode_t mode, std::string* error)
{
    const auto fail = [&](const std::string& what, int code) {
        if (error) *error = what + ": " + std::strerror(code);
        return false;
    };
    // A bare file name lives in the working folder, which is what gets flushed.
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    if (!createFoldersDurably(folder, error)) return false;

    std::string temporary = path.string() + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return fail("cannot create a temporary file next to " + path.string(), errno);
    const auto abandon = [&](const std::string& what) {
        const int code = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return fail(what + " " + temporary, code);
    };
    if (!writeAll(fd, content)) return abandon("cannot write");
    if (::fchmod(fd, mode) != 0) return abandon("cannot set the mode of");
    if (::fsync(fd) != 0) return abandon("cannot flush");
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return fail("cannot close " + temporary, code);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return fail("cannot rename " + temporary + " to " + path.string(), code);
    }
    // The new name is on disk only once the folder is.
    if (!syncFolder(folder)) return fail("cannot flush the folder " + folder.string(), errno);
    return true;
}

} // namespace qb
