// Owns the values that say why something is as it is, or could not be done: the rooms that find
// them hand them on, and only the report puts them into words.
#pragma once

#include <sys/types.h>

#include <string>

/// What reading a setting or a table from /proc told.
struct ProcFinding {
    enum class What {
        yes,         ///< it is on, or it is ours
        no,          ///< it is off (another value, or missing from a procfs that lacks it)
        not_procfs,  ///< /proc is not procfs, so it tells nothing
        not_ours,    ///< /proc/self/fd is not this process's own table
        unreadable,  ///< it could not be read: `err` says why; nothing is known
    };
    What what = What::yes;
    int err = 0;

    bool yes() const { return what == What::yes; }
};

/// The error of an argument that, when its turn came, resolved elsewhere than when it was admitted:
/// another root, another place beneath it, or another inode. Beyond every error number of the
/// kernel.
constexpr int moved_since_admitted = 4096;

/// Why the way to a root cannot be trusted: the step at fault, and who besides root could change
/// where the way leads.
struct WayFault {
    enum class What {
        none,               ///< nobody can: the way is sound
        owned,              ///< `culprit`, a directory on the way, belongs to uid `id`
        group_writable,     ///< `culprit` may be written by group `id`
        everyone_writable,  ///< `culprit` may be written by everyone
        foreign_entry,      ///< `culprit` belongs to uid `id`, in a sticky directory that
                            ///< others may write
        missing_entry,      ///< `culprit` is missing there, and anyone could make it
        foreign_link,       ///< `culprit` is a symbolic link owned by uid `id`
        unexaminable,       ///< `culprit` could not be examined: `err`
    };
    What what = What::none;
    std::string culprit;
    unsigned id = 0;
    int err = 0;

    bool sound() const { return what == What::none; }
};

/// Where the walk failed to reach a path.
enum class Unreachable {
    confirming,  ///< an argument, when its turn came (see confirm())
    opening,     ///< opening it by its name, in the directory that listed it
    examining,   ///< reading its status through its descriptor, or its name too long for that
    reopening,   ///< taking back the directory that listed it (see DirStack::hold_top())
};
