// Owns the system calls that some kernels or containers lack, each with a way that works without
// it.
#pragma once

#include <sys/types.h>

#include <vector>

#include "unique_fd.h"

// Each call below uses the newest system call where it is there. Whether it is there is decided
// once per run: by the first ENOSYS (an older kernel), or EPERM where a probe with a bad argument
// shows the call filtered (a container's seccomp profile), for openat2 and close_range; by that
// probe alone, at the first use of /proc, for fchmodat2. Both ways give the same guarantee.

/// Opens `path`, relative and made of single names, beneath the directory `dirfd`, with `flags`
/// (O_CLOEXEC is added). No symbolic link is followed at any component: one among the leading
/// components fails with ELOOP, and so does a final one unless `flags` holds both O_PATH and
/// O_NOFOLLOW, in which case the link itself is opened. An absolute path or a ".." component
/// fails with EXDEV, so the result always lies beneath `dirfd`; mount points are crossed.
/// Way 1: openat2(2) with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS.
/// Way 2: one name at a time, each opened with O_PATH | O_NOFOLLOW relative to the descriptor of
/// the one before, O_DIRECTORY for all but the last, "." skipped.
/// Returns the descriptor, or none with errno set.
UniqueFd open_beneath(int dirfd, const char* path, int flags);

/// Sets the permission bits of the file open as `fd` to `mode` without resolving any name an
/// unprivileged user controls. `fd` may be an O_PATH descriptor; for a directory (`dir`) it may
/// also be an ordinary one.
/// Way 1: fchmodat2(2) with AT_EMPTY_PATH.
/// Way 2: fchmod(2) on an ordinary descriptor of a directory; otherwise fchmodat(2) of the entry
/// for `fd` in this process's /proc/self/fd, opened once (see hardlinks_protected()) and used
/// only after fstatfs(2) says it is procfs and its entry for its own descriptor names that very
/// directory: the one descriptor this room keeps for a run.
/// Returns 0, or an error number: EOPNOTSUPP when neither way can be taken (see
/// mode_change_unavailable()).
int change_mode(int fd, mode_t mode, bool dir);

/// Why change_mode() answered EOPNOTSUPP, to end a failure line: empty when it did not.
const char* mode_change_unavailable(int err);

/// Owns descriptors of files already handled and closes them `max` at a time: on a tree of a
/// million files, closing each one on its own would cost as much as changing its owner. Holds no
/// descriptor it was not given.
/// Way 1: one close_range(2) for each run of consecutive numbers. Way 2: close(2) each one.
struct CloseBatch {
    std::vector<int> fds;
    size_t max = 1;

    CloseBatch() = default;
    CloseBatch(const CloseBatch&) = delete;
    CloseBatch& operator=(const CloseBatch&) = delete;
    ~CloseBatch() { flush(); }

    /// Takes `fd`; closes the whole batch once it holds `max`.
    void add(UniqueFd fd) {
        fds.push_back(fd.fd);  // owned by `fd` until the push has succeeded
        fd.release();
        if (fds.size() >= max) flush();
    }
    /// Closes every descriptor held; returns whether there was any.
    bool flush();
};

/// Whether the kernel's hard-link protection is on: fs.protected_hardlinks reads "1", from a
/// /proc that fstatfs(2) says is procfs, through a descriptor that is not a link and that cannot
/// block. Anything else (missing, unreadable, not procfs, not "0" or "1") counts as off. Read at
/// the first call of this or change_mode(), which also opens what way 2 of change_mode() needs:
/// make it before descriptors run short.
bool hardlinks_protected();

/// Reads directory entries of `fd` into `buf` as getdents64(2) does; glibc before 2.30 has no
/// wrapper for it.
long read_dirents(int fd, void* buf, size_t size);
