// The newer system calls, called by number so that older C libraries build them, and their
// fallbacks.
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

// The same numbers on every architecture that has these calls.
#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef SYS_openat2
#define SYS_openat2 437
#endif
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif
// Linux 6.5: a handle that only identifies the file, which file systems that cannot open files
// by handle give too.
#ifndef AT_HANDLE_FID
#define AT_HANDLE_FID 0x200
#endif

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

// The error of a failed open of `name` in `at` as a directory: ELOOP when it was a symbolic
// link, so that every way reports a link the same.
int link_is_loop(int at, const char* name) {
    const int err = errno;
    struct stat st;
    return err == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)
               ? ELOOP
               : err;
}

// Whether `path` holds a ".." component.
bool climbs(std::string_view path) {
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

// `path` is relative, not empty and holds no "..".
Result<UniqueFd> open_by_names(int dirfd, std::string_view path, int flags) {
    std::vector<std::string> names;
    bool more = false;  // a "/" after the last name: it must then be a directory
    while (!path.empty()) {
        const size_t end = std::min(path.find('/'), path.size());
        const std::string_view name = path.substr(0, end);
        if (!name.empty() && name != ".") names.emplace_back(name);
        more = !names.empty() && (name.empty() || name == "." || end < path.size());
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    if (names.empty()) names.emplace_back(".");

    UniqueFd held;
    int at = dirfd;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        UniqueFd next(openat(at, names[i].c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        if (!next) return failure(link_is_loop(at, names[i].c_str()));
        held = std::move(next);
        at = held.fd;
    }
    const char* last = names.back().c_str();
    const int want = O_PATH | O_NOFOLLOW;
    // Only a final name that asked for the link itself may be one; any other link is a loop.
    const bool link_itself = !more && (flags & want) == want;
    Result<UniqueFd> fd =
        opened(openat(at, last, flags | (more ? O_DIRECTORY : 0) | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return failure(link_itself ? fd.err : link_is_loop(at, last));
    struct stat st;
    if (!link_itself && (flags & O_PATH) && fstat(fd->fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        return failure(ELOOP);
    }
    return fd;
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

Result<UniqueFd> open_beneath(const Kernel& k, int dirfd, const char* path, int flags) {
    // Refused by its text alone, the same both ways, and before openat2 could answer EAGAIN to a
    // ".." that races a rename elsewhere.
    if (*path == '\0') return failure(ENOENT);
    if (*path == '/' || climbs(path)) return failure(EXDEV);
    if (!k.openat2) return open_by_names(dirfd, path, flags);
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

CloseBatch::CloseBatch(const Kernel& k, size_t max) : kernel_(k), max_(max) {
    fds_.reserve(max);
}

void CloseBatch::add(UniqueFd fd) {
    fds_.push_back(fd.fd);  // owned by `fd` until the push has succeeded
    fd.release();
    if (fds_.size() >= max_) flush();
}

bool CloseBatch::flush() {
    if (fds_.empty()) return false;
    std::sort(fds_.begin(), fds_.end());
    for (size_t i = 0, j; i < fds_.size(); i = j) {
        for (j = i + 1; j < fds_.size() && fds_[j] == fds_[j - 1] + 1;) ++j;
        // A failing call is not trusted to have closed them all.
        if (kernel_.close_range && syscall(SYS_close_range, fds_[i], fds_[j - 1], 0) == 0) continue;
        for (size_t n = i; n < j; ++n) close(fds_[n]);
    }
    fds_.clear();
    return true;
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
