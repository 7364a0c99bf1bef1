// Owns turning names into descriptors: one name at a time, either from "/" judging every step of
// the way to a root, or beneath a held directory through no symbolic link at all.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "causes.h"
#include "kernel_calls.h"
#include "result.h"
#include "unique_fd.h"

/// The names of `path` in order, without empty and "." ones; `dir` when a "/" or "." follows the
/// last name, which must then be a directory; `climbs` when one of them is "..".
struct Names {
    std::vector<std::string_view> names;
    bool dir = false;
    bool climbs = false;
};
Names split_names(std::string_view path);

/// How chase() goes: beneath `dirfd`, or from "/" along the way to a root, with flags.
enum class Chase : unsigned {
    /// Beneath `dirfd`, through no symbolic link at all.
    beneath = 0,
    /// From "/", whatever `dirfd` and however the path starts. Every directory in which a name is
    /// looked up must belong to root (or the tool's own effective user) and be writable neither
    /// by group nor by others, unless it is sticky and the name in it belongs to root; a symbolic
    /// link must belong to root, and is followed, at most 40 in all; ".." steps back along the
    /// way. The last name may belong to anyone.
    root_way = 1,
    /// With root_way: a name that does not exist ends the way, and what is left is kept (see
    /// Chased::rest).
    missing_ok = 2,
};
constexpr Chase operator|(Chase a, Chase b) {
    return static_cast<Chase>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool operator&(Chase a, Chase b) {
    return (static_cast<unsigned>(a) & static_cast<unsigned>(b)) != 0;
}

/// Where chase() led.
struct Chased {
    UniqueFd fd;        ///< the file it names; with Chase::missing_ok, the deepest that exists
    std::string shown;  ///< with Chase::root_way: where it leads, absolute, without link, "." or
                        ///< ".."
    std::string rest;   ///< with Chase::missing_ok: the names below `fd` that do not exist, joined
                        ///< by "/" and normalised lexically; empty when everything exists
};

/// Resolves `path` one name at a time, each opened with O_PATH | O_NOFOLLOW | O_CLOEXEC relative
/// to the one before.
/// With Chase::beneath: beneath `dirfd`. An absolute path or a ".." fails with EXDEV and an empty
/// one with ENOENT, by their text; any symbolic link fails with ELOOP, but a final one is opened
/// itself when `flags` (the open's own, O_CLOEXEC and O_NOFOLLOW added, for the last name only)
/// hold both O_PATH and O_NOFOLLOW; a name followed by "/" or "/." must be a directory; a name
/// that does not exist fails with ENOENT or ENOTDIR, as openat(2) would.
/// With Chase::root_way: fails with EPERM when someone besides root could change
/// where the way leads, or the error met examining a step, and `*fault` then names the step and
/// why; the root itself is opened as O_PATH.
Result<Chased> chase(int dirfd, std::string_view path, Chase how, int flags,
                     WayFault* fault = nullptr);

/// Opens `path`, relative and made of single names, beneath the directory `dirfd`, with `flags`
/// (O_CLOEXEC is added), as chase() does with Chase::beneath: no symbolic link is followed, nothing
/// outside `dirfd` is reached, and mount points are crossed.
/// Way 1: openat2(2) with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS.
/// Way 2: chase().
Result<UniqueFd> open_beneath(const Kernel& k, int dirfd, const char* path, int flags);
