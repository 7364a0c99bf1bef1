// Owns the descriptor-held walk: which inodes are examined below each argument, and in what order.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kernel_calls.h"
#include "path_admission.h"

/// What a visit did: the failures it counted and, for a directory, whether its entries are to be
/// visited.
struct Visit {
    int failures = 0;
    bool enter = true;
};

/// What a walk did: the failures counted, and the paths it visited (each given its line).
struct Tally {
    int failures = 0;
    long visited = 0;
};

/// What to do with one examined path: `fd` is a descriptor of the inode, valid for the call only
/// (O_PATH, or for a directory that could be opened for listing, that read-only descriptor), `st`
/// its status read through it, `path` its full text.
using Visitor = std::function<Visit(int fd, const struct stat& st, const std::string& path)>;

/// Walks `args` depth first, last argument first, and calls `visit` once for every path examined:
/// each argument, then, for a directory, right after its listing, each of its entries in reverse
/// listing order, each subtree finished before the next entry, unless the visit said not to enter
/// it. Symbolic links are handed to `visit` and never followed or entered. Stops between two
/// paths once the run is interrupted (see interruption()). Returns the failures counted by `visit`
/// and by the walk, and the paths visited.
///
/// What it guarantees, whatever is renamed or swapped during the run:
/// - An argument is confirmed afresh (see confirm()): judged again with the caller's rights, opened
///   beneath the descriptor its root has held since the start of the run refusing every symbolic
///   link, and handed on only if it is still what was admitted: the same root, the same place
///   beneath it, the same inode.
/// - Every entry below is opened by its single name, relative to a descriptor of the directory
///   that listed it, with O_NOFOLLOW: no name resolves through a link or outside the argument.
/// - When descriptors run short, a directory's descriptor may be given up (see DirStack); it is
///   reopened beneath the nearest ancestor still held, refusing every link, and used only if it
///   is the inode that was listed. Otherwise each of its remaining entries fails with "directory
///   was replaced during the walk".
///
/// Its own failures are reported on standard error: "Failed to get status of" for an entry that
/// cannot be examined, "Failed to update ownership of" for one that is gone, and "Warning: Failed
/// to iterate" for a listing that could not be read to its end (counted only when the walk ran out
/// of descriptors or memory); the directory is still handed to `visit`.
Tally walk_trees(const Kernel& k, const std::vector<Argument>& args, const std::vector<Root>& roots,
                 const Visitor& visit);
