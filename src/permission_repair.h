// Owns the repair policy: what is changed on each path the walk meets, how, the line that says so,
// and what counts as a failure.
#pragma once

#include <sys/stat.h>

#include <string_view>

#include "kernel_calls.h"
#include "target.h"
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

/// How the repair of one path went.
enum class Repaired {
    yes,        ///< owner, group and mode as wanted
    mode_not,   ///< owner and group changed, but not the mode
    not_taken,  ///< the owner or group could not be changed: nothing was
};

/// Repairs the file open as `fd` (an O_PATH or ordinary descriptor of a non-symlink), whose status
/// before the change was `st`, and reports it under `path`: owner and group of `target` (-1
/// keeps that id), then the mode made wanted_mode() with `target.sgid`. A non-directory loses
/// set-user-ID and set-group-ID before its owner changes, and is left as it was, with the
/// ownership failure line, when they cannot be cleared. Prints "Updated ownership and permissions
/// for " + quoted path on standard output, or the ownership or permissions failure line on
/// standard error; the mode is not touched when ownership fails, beyond those bits.
Repaired update_file_permissions(const Kernel& k, int fd, const struct stat& st,
                                 std::string_view path, const Target& target);

/// What a run did: the paths visited, each given its line, and the failures among them.
struct Tally {
    int failures = 0;
    long visited = 0;
};

/// Hands every path `walk` meets over to `target`, adding group-read, and for directories under
/// `target.sgid` group-write, group-search and set-group-ID, and prints a line for each; the one
/// loop that decides, prints and counts. A symbolic link is reported and left alone. A file with
/// more than one link may be a planted link to a file outside the tree: it is refused without
/// the kernel's hard-link protection, and with it unless it already belongs to `target.uid`, a
/// user other than root. For a caller who is not root, a directory whose owner could not be
/// changed is entered only if he could list it himself (see caller_can_list()).
Tally repair_all(const Kernel& k, TreeWalk& walk, const Target& target);
