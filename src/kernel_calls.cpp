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

namespace {

enum class Way : unsigned char { untried, new_call, fallback };

Way openat2_way = Way::untried;
Way fchmodat2_way = Way::untried;
Way close_range_way = Way::untried;

// Called when a new call has failed with errno: true when it is not there, deciding it the first
// time. A kernel without it answers ENOSYS; a seccomp filter answers EPERM (or ENOSYS) whatever
// the arguments, while the kernel answers EINVAL to `probe`'s bad ones. A genuine EPERM stays one.
bool absent(Way& way, long (*probe)()) {
    if (way == Way::untried && (errno == ENOSYS || errno == EPERM)) {
        const int err = errno;
        way = err == ENOSYS || (probe() < 0 && errno != EINVAL) ? Way::fallback : Way::new_call;
        errno = err;
    }
    return way == Way::fallback;
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

// Sets errno to ELOOP when the failure to open `name` in `at` as a directory was its being a
// symbolic link, so that every way reports a link the same.
void link_is_loop(int at, const char* name) {
    const int err = errno;
    struct stat st;
    errno =
        err == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)
            ? ELOOP
            : err;
}

UniqueFd open_by_names(int dirfd, std::string_view path, int flags) {
    if (!path.empty() && path.front() == '/') {
        errno = EXDEV;
        return {};
    }
    std::vector<std::string> names;
    while (!path.empty()) {
        const size_t end = std::min(path.find('/'), path.size());
        const std::string_view name = path.substr(0, end);
        path.remove_prefix(std::min(end + 1, path.size()));
        if (name == "..") {
            errno = EXDEV;
            return {};
        }
        if (!name.empty() && name != ".") names.emplace_back(name);
    }
    if (names.empty()) names.emplace_back(".");

    UniqueFd held;
    int at = dirfd;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        UniqueFd next(openat(at, names[i].c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        if (!next) {
            link_is_loop(at, names[i].c_str());
            return next;
        }
        held = std::move(next);
        at = held.fd;
    }
    const char* last = names.back().c_str();
    UniqueFd fd(openat(at, last, flags | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        link_is_loop(at, last);
        return fd;
    }
    // Only an O_PATH open that asked not to follow may hold the link itself.
    struct stat st;
    const int want = O_PATH | O_NOFOLLOW;
    if ((flags & want) != want && (flags & O_PATH) && fstat(fd.fd, &st) == 0 &&
        S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return {};
    }
    return fd;
}

bool on_procfs(int fd) {
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

std::string fd_name(int fd) {
    char buf[16];
    const char* const end = std::to_chars(buf, buf + sizeof buf, fd).ptr;
    return {buf, static_cast<size_t>(end - buf)};
}

// What the run takes from /proc, read once at the first use (the start of a run, while
// descriptors are still plentiful), and only from a /proc that is procfs: the hard-link
// protection, and, where there is no fchmodat2 (decided here, by a probe), this process's
// /proc/self/fd once checked to be this very table, the one descriptor kept for the run.
struct Procfs {
    bool hardlinks_protected = false;
    UniqueFd fds;
};

bool read_protection(int proc) {
    UniqueFd fd(
        openat(proc, "sys/fs/protected_hardlinks", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || !on_procfs(fd.fd)) return false;
    char buf[3];
    const ssize_t n = read(fd.fd, buf, sizeof buf);
    return n >= 1 && buf[0] == '1' && (n == 1 || (n == 2 && buf[1] == '\n'));
}

const Procfs& procfs() {
    static const Procfs proc = [] {
        if (fchmodat2_way == Way::untried) {
            fchmodat2_way =
                probe_fchmodat2() < 0 && errno == EINVAL ? Way::new_call : Way::fallback;
        }
        Procfs p;
        const UniqueFd root(open("/proc", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!root || !on_procfs(root.fd)) return p;
        p.hardlinks_protected = read_protection(root.fd);
        if (fchmodat2_way != Way::fallback) return p;
        UniqueFd fds(openat(root.fd, "self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat dir, named;
        if (fds && on_procfs(fds.fd) && fstat(fds.fd, &dir) == 0 &&
            fstatat(fds.fd, fd_name(fds.fd).c_str(), &named, 0) == 0 &&
            dir.st_dev == named.st_dev && dir.st_ino == named.st_ino) {
            p.fds = std::move(fds);
        }
        return p;
    }();
    return proc;
}

}  // namespace

UniqueFd open_beneath(int dirfd, const char* path, int flags) {
    if (openat2_way != Way::fallback) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        UniqueFd fd(syscall(SYS_openat2, dirfd, path, &how, sizeof how));
        if (fd) openat2_way = Way::new_call;
        if (fd || !absent(openat2_way, probe_openat2)) return fd;
    }
    return open_by_names(dirfd, path, flags);
}

int change_mode(int fd, mode_t mode, bool dir) {
    const Procfs& proc = procfs();  // which, at the first call, decides whether fchmodat2 is there
    if (fchmodat2_way != Way::fallback) {
        return syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0 ? 0 : errno;
    }
    if (dir) {
        const int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && !(fl & O_PATH)) return fchmod(fd, mode) == 0 ? 0 : errno;
    }
    if (!proc.fds) return EOPNOTSUPP;
    return fchmodat(proc.fds.fd, fd_name(fd).c_str(), mode, 0) == 0 ? 0 : errno;
}

const char* mode_change_unavailable(int err) {
    return err == EOPNOTSUPP && fchmodat2_way == Way::fallback && procfs().fds.fd < 0
               ? " (no fchmodat2, and /proc is not procfs)"
               : "";
}

bool CloseBatch::flush() {
    if (fds.empty()) return false;
    std::sort(fds.begin(), fds.end());
    for (size_t i = 0, j; i < fds.size(); i = j) {
        for (j = i + 1; j < fds.size() && fds[j] == fds[j - 1] + 1;) ++j;
        if (close_range_way != Way::fallback) {
            if (syscall(SYS_close_range, fds[i], fds[j - 1], 0) == 0) {
                close_range_way = Way::new_call;
                continue;
            }
            // A filtered call closes nothing; a failing one is not trusted to have closed all.
            absent(close_range_way, probe_close_range);
        }
        for (size_t k = i; k < j; ++k) close(fds[k]);
    }
    fds.clear();
    return true;
}

bool hardlinks_protected() {
    return procfs().hardlinks_protected;
}

long read_dirents(int fd, void* buf, size_t size) {
    return syscall(SYS_getdents64, fd, buf, size);
}
