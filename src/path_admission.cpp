// The allowed roots, the way to each, and the admission of command-line paths under them.
#include "path_admission.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "kernel_calls.h"
#include "resolve.h"

namespace fs = std::filesystem;

// Built before main runs, as the list is part of the program; running out of memory this early
// ends the process, which is all a caller could do about it.
// NOLINTNEXTLINE(cert-err58-cpp)
const std::vector<fs::path> allowed_paths = {
    "/mnt/data",
    "/var/run/brelmont/mqx47",
    "/run/lock",
    "/wyr_data",
};

namespace {

// An id that is never valid: asking for it changes nothing and returns the current one.
constexpr auto no_id = static_cast<unsigned>(-1);

// The process's capability sets, as capget(2) and capset(2) take them; each call returns 0 or
// an error number.
struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};

    int get() { return syscall(SYS_capget, &header, data) == 0 ? 0 : errno; }
    int set() { return syscall(SYS_capset, &header, data) == 0 ? 0 : errno; }
};

// Sets the effective capabilities to `effective` and reads them back; EPERM when they did not
// take.
int set_effective(const uint32_t (&effective)[2]) {
    Capabilities caps;
    if (const int err = caps.get()) return err;
    for (int i = 0; i < 2; ++i) caps.data[i].effective = effective[i];
    if (const int err = caps.set()) return err;
    Capabilities now;
    if (const int err = now.get()) return err;
    return now.data[0].effective == effective[0] && now.data[1].effective == effective[1] ? 0
                                                                                          : EPERM;
}

// Whether `path` starts with every component of `root`; `beneath` is then the rest, "." for the
// root itself. Components are compared whole and byte for byte.
bool lies_under(const fs::path& path, const fs::path& root, fs::path& beneath) {
    auto it = path.begin();
    auto last2 = root.begin();
    while (it != path.end() && last2 != root.end() && it->native() == last2->native()) {
        ++it;
        ++last2;
    }
    if (root.empty() || last2 != root.end()) return false;
    for (; it != path.end(); ++it) {
        if (!it->empty()) beneath /= *it;
    }
    if (beneath.empty()) beneath = ".";
    return true;
}

}  // namespace

std::vector<Root> open_roots(const std::vector<fs::path>& written) {
    std::vector<Root> roots(written.size());
    for (size_t i = 0; i < written.size(); ++i) {
        Root& r = roots[i];
        r.written = written[i];
        Result<Chased> way = chase(AT_FDCWD, r.written.native(),
                                   Chase::root_way | Chase::missing_ok, O_PATH, &r.set_aside);
        if (!way) continue;
        r.dir = std::move(way->fd);
        r.resolved = way->shown;
        r.rest = way->rest;
    }
    return roots;
}

CallerRights::CallerRights()
    : fsuid_(static_cast<unsigned>(setfsuid(no_id))),
      fsgid_(static_cast<unsigned>(setfsgid(no_id))) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    // The file-system ids alone leave capabilities effective when the process keeps them across
    // an id change (SECBIT_NO_SETUID_FIXUP), and never touch CAP_SYS_PTRACE, which opens other
    // users' /proc/PID/cwd: a caller other than root acts with no capability at all.
    Capabilities caps;
    caps_saved_ = uid != 0 && caps.get() == 0;
    saved_effective_[0] = caps.data[0].effective;
    saved_effective_[1] = caps.data[1].effective;
    setfsgid(gid);
    setfsuid(uid);
    if (uid != 0) error_ = caps_saved_ ? set_effective({0, 0}) : EPERM;
    // Neither id call reports failure; reading the ids back does.
    if (error_ == 0 && (static_cast<uid_t>(setfsuid(no_id)) != uid ||
                        static_cast<gid_t>(setfsgid(no_id)) != gid)) {
        error_ = EPERM;
    }
}

CallerRights::~CallerRights() {
    setfsuid(fsuid_);
    setfsgid(fsgid_);
    if (caps_saved_) static_cast<void>(set_effective(saved_effective_));
}

namespace {

// Reads the status of `path` into `st` and resolves it weakly canonically, with the caller's rights
// (see CallerRights). A missing path, which `missing` then says (ENOENT or ENOTDIR), is no link;
// fails with ELOOP when its final component is a symbolic link, or with the error met on the way.
Result<fs::path> as_caller_sees(const fs::path& path, struct stat* st, int& missing) {
    const CallerRights as_caller;
    if (as_caller.error()) return failure(as_caller.error());
    if (fstatat(AT_FDCWD, path.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return failure(errno);
        missing = errno;
    } else if (S_ISLNK(st->st_mode)) {
        return failure(ELOOP);
    }
    std::error_code ec;
    fs::path abspath = fs::weakly_canonical(path, ec);
    if (ec) return failure(ec.value());
    return abspath;
}

}  // namespace

bool caller_can_list(int dir) {
    const CallerRights as_caller;
    return !as_caller.error() &&
           UniqueFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)).fd >= 0;
}

Result<Admission> admit(const fs::path& path, const std::vector<Root>& roots) {
    Admission found;
    struct stat st {};
    const Result<fs::path> abspath = as_caller_sees(path, &st, found.missing);
    if (!abspath) return failure(abspath.err);
    found.dev = st.st_dev;
    found.ino = st.st_ino;
    for (const Root& root : roots) {
        if (root.set_aside.sound() && lies_under(*abspath, root.resolved, found.beneath)) {
            found.root = &root;
            return found;
        }
    }
    return failure(EXDEV);
}

const Root* set_aside_root(const fs::path& path, const std::vector<Root>& roots) {
    struct stat st {};
    int missing = 0;
    const Result<fs::path> abspath = as_caller_sees(path, &st, missing);
    const CallerRights as_caller;
    for (const Root& root : roots) {
        if (!abspath || as_caller.error() || root.set_aside.sound()) continue;
        // Resolved as the caller sees it: only to tell him why, and nothing is reached through it.
        std::error_code ec;
        const fs::path resolved = fs::weakly_canonical(root.written, ec);
        fs::path beneath;
        if (!ec && lies_under(*abspath, resolved, beneath)) return &root;
    }
    return nullptr;
}

fs::path resolved(const Admission& adm) {
    return adm.beneath == "." ? adm.root->resolved : adm.root->resolved / adm.beneath;
}

Result<UniqueFd> confirm(const Kernel& k, const fs::path& path, const Admission& admitted,
                         const std::vector<Root>& roots) {
    const Result<Admission> adm = admit(path, roots);
    if (!adm) return failure(adm.err);
    if (adm->root != admitted.root || adm->beneath != admitted.beneath) {
        return failure(moved_since_admitted);
    }
    if (adm->missing != 0) return failure(adm->missing);
    if (admitted.missing != 0 || adm->dev != admitted.dev || adm->ino != admitted.ino) {
        return failure(moved_since_admitted);
    }
    const Root& root = *adm->root;
    const fs::path beneath = root.rest.empty() ? adm->beneath : root.rest / adm->beneath;
    Result<UniqueFd> file = open_beneath(k, root.dir.fd, beneath.c_str(), O_PATH | O_NOFOLLOW);
    if (!file) return file;
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return failure(errno);
    if (st.st_dev != admitted.dev || st.st_ino != admitted.ino) return failure(ESTALE);
    return file;
}

bool allowed(const fs::path& path) {
    return static_cast<bool>(admit(path, open_roots(allowed_paths)));
}
