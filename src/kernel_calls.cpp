// The probes, and the newer system calls, called by number so that older C libraries build them.
#include "kernel_calls.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#else
struct open_how {
    uint64_t flags;
    uint64_t mode;
    uint64_t resolve;
};
#define RESOLVE_NO_MAGICLINKS 0x02
#define RESOLVE_NO_SYMLINKS 0x04
#define RESOLVE_BENEATH 0x08
#endif

// For C libraries older than these calls: the number every architecture shares, but for alpha,
// ia64 and mips, which number apart; there -1, which the kernel answers with ENOSYS, so that the
// fallback runs rather than another call.
#if defined(__alpha__) || defined(__ia64__) || defined(__mips__)
#define SHARED_NUMBER(n) (-1)
#else
#define SHARED_NUMBER(n) (n)
#endif
#ifndef SYS_close_range
#define SYS_close_range SHARED_NUMBER(436)
#endif
#ifndef SYS_openat2
#define SYS_openat2 SHARED_NUMBER(437)
#endif
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 SHARED_NUMBER(452)
#endif
// Linux 6.5: a handle that only identifies the file, which file systems that cannot open files
// by handle give too.
#ifndef AT_HANDLE_FID
#define AT_HANDLE_FID 0x200
#endif

// A status read must not fail with EOVERFLOW on a 32-bit system (see the build's definitions).
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "64-bit file offsets and inode numbers");

namespace {

// Whether the call answers `probe`'s bad arguments as the kernel does, with EINVAL.
bool offered(long (*probe)()) {
    return probe() < 0 && errno == EINVAL;
}

long probe_openat2() {
    return syscall(SYS_openat2, AT_FDCWD, "", nullptr, 0);
}
long probe_fchmodat2() {
    return syscall(SYS_fchmodat2, AT_FDCWD, "", 0, -1);
}
long probe_close_range() {
    return syscall(SYS_close_range, ~0U, 0U, 0U);
}

using What = ProcFinding::What;

ProcFinding unreadable(int err) {
    return {What::unreadable, err};
}

// Whether `fd` lies on procfs; unreadable when fstatfs(2) cannot tell.
ProcFinding on_procfs(int fd) {
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return unreadable(errno);
    return {fs.f_type == PROC_SUPER_MAGIC ? What::yes : What::not_procfs, 0};
}

std::string fd_name(int fd) {
    char buf[16];
    const char* const end = std::to_chars(buf, buf + sizeof buf, fd).ptr;
    return {buf, static_cast<size_t>(end - buf)};
}

// fs.protected_hardlinks, below `proc`, which is procfs.
ProcFinding read_protection(int proc) {
    UniqueFd fd(
        openat(proc, "sys/fs/protected_hardlinks", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // A kernel without the setting has no protection.
    if (!fd) return errno == ENOENT ? ProcFinding{What::no, 0} : unreadable(errno);
    if (const ProcFinding fs = on_procfs(fd.fd); !fs.yes()) return fs;
    char buf[3];
    const ssize_t n = read(fd.fd, buf, sizeof buf);
    if (n < 0) return unreadable(errno);
    const bool one = n >= 1 && buf[0] == '1' && (n == 1 || (n == 2 && buf[1] == '\n'));
    return {one ? What::yes : What::no, 0};
}

// This process's own /proc/self/fd, below `proc`, which is procfs; or why there is none.
Result<UniqueFd> own_fds(int proc) {
    UniqueFd fds(openat(proc, "self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fds) return failure(errno);
    struct stat dir, named;
    if (const ProcFinding fs = on_procfs(fds.fd); !fs.yes()) {
        return failure(fs.what == What::unreadable ? fs.err : ENOENT);
    }
    if (fstat(fds.fd, &dir) != 0) return failure(errno);
    if (fstatat(fds.fd, fd_name(fds.fd).c_str(), &named, 0) != 0) return failure(errno);
    if (dir.st_dev != named.st_dev || dir.st_ino != named.st_ino) return failure(ENOENT);
    return fds;
}

}  // namespace

Kernel probe_kernel() {
    Kernel k;
    k.openat2 = offered(probe_openat2);
    k.close_range = offered(probe_close_range);
    k.fchmodat2 = offered(probe_fchmodat2);
    const UniqueFd proc(open("/proc", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    ProcFinding procfs;
    if (!proc) {
        // Nothing, a file or a link where /proc should be is no procfs; anything else, such as
        // running out of descriptors, tells nothing.
        const bool absent = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
        procfs = absent ? ProcFinding{What::not_procfs, 0} : unreadable(errno);
    } else {
        procfs = on_procfs(proc.fd);
    }
    k.hardlinks = procfs.yes() ? read_protection(proc.fd) : procfs;
    if (k.fchmodat2) return k;
    if (!procfs.yes()) {
        k.no_proc_fds = procfs;
        return k;
    }
    Result<UniqueFd> fds = own_fds(proc.fd);
    if (fds) {
        k.proc_fds = std::move(*fds);
    } else if (fds.err == ENOENT || fds.err == ENOTDIR) {
        k.no_proc_fds = {What::not_ours, 0};
    } else {
        k.no_proc_fds = unreadable(fds.err);
    }
    return k;
}

Result<UniqueFd> openat2_beneath(int dirfd, const char* path, int flags) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return opened(syscall(SYS_openat2, dirfd, path, &how, sizeof how));
}

int change_mode(const Kernel& k, int fd, mode_t mode, bool dir) {
    if (k.fchmodat2) return syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0 ? 0 : errno;
    if (dir) {
        const int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && !(fl & O_PATH)) return fchmod(fd, mode) == 0 ? 0 : errno;
    }
    if (!k.proc_fds) return EOPNOTSUPP;
    return fchmodat(k.proc_fds.fd, fd_name(fd).c_str(), mode, 0) == 0 ? 0 : errno;
}

ProcFinding mode_change_unavailable(const Kernel& k, int err) {
    return err == EOPNOTSUPP && !k.fchmodat2 && !k.proc_fds ? k.no_proc_fds : ProcFinding{};
}

bool close_range_call(unsigned first, unsigned last) {
    return syscall(SYS_close_range, first, last, 0) == 0;
}

std::string identity(int fd) {
    union {
        file_handle handle;
        char room[sizeof(file_handle) + MAX_HANDLE_SZ];
    } buf{};
    int mount_id = 0;
    for (const int flags : {AT_EMPTY_PATH | AT_HANDLE_FID, AT_EMPTY_PATH}) {
        buf.handle.handle_bytes = MAX_HANDLE_SZ;
        if (name_to_handle_at(fd, "", &buf.handle, &mount_id, flags) == 0) {
            std::string id = "handle ";
            id.append(reinterpret_cast<const char*>(&buf.handle.handle_type),
                      sizeof buf.handle.handle_type);
            id.append(reinterpret_cast<const char*>(buf.handle.f_handle), buf.handle.handle_bytes);
            return id;
        }
        // Only a kernel that does not know the flag yet is asked again without it.
        if (errno != EINVAL) break;
    }
    struct statx stx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) != 0 ||
        !(stx.stx_mask & STATX_BTIME)) {
        return {};
    }
    return "born " + std::to_string(stx.stx_btime.tv_sec) + "." +
           std::to_string(stx.stx_btime.tv_nsec);
}

Result<size_t> read_dirents(int fd, void* buf, size_t size) {
    const long n = syscall(SYS_getdents64, fd, buf, size);
    if (n < 0) return failure(errno);
    return static_cast<size_t>(n);
}
