// Owns the repair policy: what is changed on each examined path, how, and the line that says so.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "path_admission.h"

/// Repairs the file open as `fd` (an O_PATH or ordinary descriptor of a non-symlink), whose status
/// before the change was `st`, and reports it under `path`: owner `uid` and group `gid` (-1 keeps
/// that id), then the mode OR-ed with 040, or 02070 when `setgid`. A non-directory loses
/// set-user-ID and set-group-ID before its owner changes, and is left as it was, with the
/// ownership failure line, when they cannot be cleared. Prints
/// "Updated ownership and permissions for " + quoted path on standard output, or the ownership or
/// permissions failure line on standard error; the mode is not touched when ownership fails,
/// beyond those bits. Returns 0 on success, 1 on failure.
int update_file_permissions(int fd, const struct stat& st, std::string_view path, int32_t uid,
                            int32_t gid, bool setgid);

/// Hands every path of the trees of `paths` (see walk_trees()) over to `uid` and `gid`, adding
/// group-read, and for directories under `sgid` group-write, group-search and set-group-ID. A
/// symbolic link is reported and left alone. A file with more than one link may be a planted link
/// to a file outside the tree: it is refused without the kernel's hard-link protection, and with it
/// unless it already belongs to `uid`, a user other than root. For a caller who is not root, a
/// directory whose owner could not be changed is not entered: he learns nothing below it. Returns
/// the number of failures.
int repair_all(const std::vector<std::filesystem::path>& paths, int32_t uid, int32_t gid, bool sgid,
               const std::vector<Root>& roots);
