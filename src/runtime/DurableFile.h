// DurableFile: the one way the daemon replaces a small file it keeps (the
// settings, the crash-recovery records, the paired tablet pages, the PID
// and status files, the user's service unit).
//
// writeFileDurably() writes a temporary file in the same folder, flushes it
// to disk, gives it `mode`, renames it over `path` and flushes the folder,
// so a crash or power loss at any moment leaves either the whole old file or
// the whole new one, never a torn or empty one. Readers in other processes
// see the same: the rename is atomic. On failure the old file is untouched
// and no temporary file is left behind. Missing parent folders are created
// (with the process's umask) first.
//
// Any thread; writers of the same path must not race (each caller owns its
// file, or serialises its writes itself, as the settings store does with a
// lock file).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace qb {

// True once `content` is on disk as `path` with permissions `mode`. False
// with the reason in `*error` (when given) otherwise.
bool writeFileDurably(const std::filesystem::path& path, std::string_view content, mode_t mode,
    std::string* error = nullptr);

// Creates `folder` and its missing parents and flushes each new entry to
// disk, so that a file flushed into it later cannot vanish with a folder
// that never reached the disk. True when the folder exists.
bool createFoldersDurably(const std::filesystem::path& folder, std::string* error = nullptr);

} // namespace qb
