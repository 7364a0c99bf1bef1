// Owns the repair policy: what is changed on each examined path, how, and the line that says so.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "kernel_calls.h"
#include "path_admission.h"
#include "tree_walk.h"

/// The permission bits a path with permission bits `mode` (07777) ends with: group-read added,
/// and for a directory under `setgid` group-write, group-search and set-group-ID; a non-directory
/// never keeps set-user-ID or set-group-ID.
mode_t wanted_mode(mode_t mode, bool dir, bool setgid);

/// Whether the mode, seen as `mode` before the ownership change (a non-directory's set-ID bits
/// already cleared), must be read again after it: a directory's set-ID bits may have been cleared
/// by the change and must not be put back, and a file whose owner could still add set-ID bits
/// until it `changes_hands` must not keep them though no mode change is planned.
bool reread_mode(mode_t mode, bool dir, bool setgid, bool changes_hands);

/// Repairs the file open as `fd` (an O_PATH or ordinary descriptor of a non-symlink), whose status
/// before the change was `st`, and reports it under `path`: owner `uid` and group `gid` (-1 keeps
/// that id), then the mode made wanted_mode(). A non-directory loses set-user-ID and set-group-ID
/// before its owner changes, and is left as it was, with the ownership failure line, when they
/// cannot be cleared. Prints "Updated ownership and permissions for " + quoted path on standard
/// output, or the ownership or permissions failure line on standard error; the mode is not
/// touched when ownership fails, beyond those bits. Returns 0 on success, 1 on failure.
int update_file_permissions(const Kernel& k, int fd, const struct stat& st, std::string_view path,
                            int32_t uid, int32_t gid, bool setgid);

/// Hands every path of the trees of `paths` (see walk_trees()) over to `uid` and `gid`, adding
/// group-read, and for directories under `sgid` group-write, group-search and set-group-ID. A
/// symbolic link is reported and left alone. A file with more than one link may be a planted link
/// to a file outside the tree: it is refused without the kernel's hard-link protection, and with it
/// unless it already belongs to `uid`, a user other than root. For a caller who is not root, a
/// directory whose owner could not be changed is not entered: he learns nothing below it. Returns
/// the failures and the paths visited.
Tally repair_all(const Kernel& k, const std::vector<Argument>& paths, int32_t uid, int32_t gid,
                 bool sgid, const std::vector<Root>& roots);
