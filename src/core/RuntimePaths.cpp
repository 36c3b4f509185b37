#include "core/RuntimePaths.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/UserFolders.h"

namespace qb {

RuntimePaths RuntimePaths::current() { return inDirectory(UserFolders::current().runtime.string()); }

RuntimePaths RuntimePaths::inDirectory(const std::string& directory)
{
    std::string base = directory;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return RuntimePaths{base, base + "/quillbright.sock", base + "/quillbright.pid", base + "/quillbright.status"};
}

std::optional<std::string> RuntimePaths::prepareDirectory() const
{
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return fmt::format("cannot create {}: {}", directory, std::strerror(errno));
    }
    struct stat info{};
    // lstat: a symbolic link planted in /tmp must not lead us elsewhere.
    if (::lstat(directory.c_str(), &info) != 0) {
        return fmt::format("cannot inspect {}: {}", directory, std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode)) return fmt::format("{} is not a directory", directory);
    if (info.st_uid != ::getuid()) return fmt::format("{} belongs to another user (uid {})", directory, info.st_uid);
    if ((info.st_mode & 0077) != 0) {
        return fmt::format("{} is open to other users (mode {:o})", directory, info.st_mode & 0777);
    }
    return std::nullopt;
}

} // namespace qb
