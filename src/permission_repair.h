// Owns the repair walk: handing admitted trees over to the target owner and group, one line per
// path.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "path_admission.h"

/// Repairs the file open as `fd` (an O_PATH or ordinary descriptor of a non-symlink), whose status
/// before the change was `st`, and reports it under `path`: owner `uid` and group `gid` (-1 keeps
/// that id), then the mode re-read and OR-ed with 040, or 02060 when `setgid`. Prints
/// "Updated ownership and permissions for " + quoted path on standard output, or the ownership or
/// permissions failure line on standard error; the mode is not touched when ownership fails.
/// Returns 0 on success, 1 on failure.
int update_file_permissions(int fd, const struct stat& st, std::string_view path, int32_t uid,
                            int32_t gid, bool setgid);

/// Walks `paths` depth first, last argument first, each directory repaired right after its listing
/// and its entries taken in reverse listing order. Symbolic links below an argument are reported
/// and never changed or followed. Each argument is first confirmed afresh to lie beneath one of
/// `roots`, and everything is reached through descriptors of the inodes whose status was read.
/// Returns the number of failures.
int repair_all(const std::vector<std::filesystem::path>& paths, int32_t uid, int32_t gid, bool sgid,
               const std::vector<std::filesystem::path>& roots = allowed_paths);
