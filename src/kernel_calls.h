// Owns what the kernel and /proc offer a run, decided once, and the system calls some kernels or
// containers lack; the mode change falls back here, the others where they are used.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "causes.h"
#include "result.h"
#include "unique_fd.h"

/// What the kernel and /proc offer a run, decided once at start-up, while descriptors are still
/// plentiful, and read-only afterwards. A call counts as there when a probe with a bad argument
/// gets the kernel's EINVAL: a kernel without it answers ENOSYS, and a container's seccomp profile
/// ENOSYS or EPERM, whatever the arguments. Every call below gives the same guarantee both ways.
struct Kernel {
    bool openat2 = false;
    bool close_range = false;
    bool fchmodat2 = false;
    /// fs.protected_hardlinks, read from a /proc that fstatfs(2) says is procfs, through a
    /// descriptor that is not a link and cannot block: yes only when it reads exactly "1"; no for
    /// another value or where procfs lacks it; not_procfs; or unreadable, with the error met.
    /// Only yes counts as on.
    ProcFinding hardlinks;
    /// Only where there is no fchmodat2: this process's /proc/self/fd, used only after fstatfs(2)
    /// says it is procfs and its entry for its own descriptor names that very directory.
    UniqueFd proc_fds;
    /// Why there is no `proc_fds` where it was needed: not_procfs, not_ours or unreadable; yes
    /// otherwise.
    ProcFinding no_proc_fds;
};

/// Probes the three calls and reads what the run needs from /proc.
Kernel probe_kernel();

/// Opens `path` beneath the directory `dirfd` with openat2(2), `flags` (O_CLOEXEC added) and
/// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS; only where Kernel::openat2 (see
/// open_beneath(), which falls back without it).
Result<UniqueFd> openat2_beneath(int dirfd, const char* path, int flags);

/// Sets the permission bits of the file open as `fd` to `mode` without resolving any name an
/// unprivileged user controls. `fd` may be an O_PATH descriptor; for a directory (`dir`) it may
/// also be an ordinary one.
/// Way 1: fchmodat2(2) with AT_EMPTY_PATH.
/// Way 2: fchmod(2) on an ordinary descriptor of a directory; otherwise fchmodat(2) of the entry
/// for `fd` in Kernel::proc_fds.
/// Returns 0, or an error number: EOPNOTSUPP when neither way can be taken.
int change_mode(const Kernel& k, int fd, mode_t mode, bool dir);

/// Why change_mode() failed with `err`, when it was that neither of its ways could be taken
/// (see Kernel::no_proc_fds); yes otherwise.
ProcFinding mode_change_unavailable(const Kernel& k, int err);

/// What tells the file open as `fd` from another that later took its inode number, in bytes to
/// compare: its file handle, which holds the generation number the kernel changes when it reuses
/// an inode (name_to_handle_at(2), asked only to identify it where the kernel knows how, as on
/// overlayfs); where the file system gives none, its birth time (statx(2)); empty where neither
/// tells.
std::string identity(int fd);

/// Closes descriptors `first` to `last` with close_range(2); only where Kernel::close_range.
/// False when they may not all have been closed.
bool close_range_call(unsigned first, unsigned last);

/// Reads directory entries of `fd` into `buf` as getdents64(2) does (glibc before 2.30 has no
/// wrapper for it): the bytes read, 0 at the end.
Result<size_t> read_dirents(int fd, void* buf, size_t size);
