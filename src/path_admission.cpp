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
#include "report.h"

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

// As many links as the kernel follows in one path.
constexpr int max_links = 40;

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

// Who may lead the way to a root: root, and the tool's own user where it runs without root's
// rights (who can change nothing the tool could not).
bool trusted(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// One directory of a root's way: held, with its status and the name it is shown by.
struct Step {
    UniqueFd fd;
    struct stat st;
    std::string shown;
};

// Why someone other than root could change where name `next_shown`, looked up in directory
// `dir`, leads; empty when nobody can. `next` is its status there, or null when it is missing.
std::string way_risk(const Step& dir, const std::string& next_shown, const struct stat* next) {
    const mode_t mode = dir.st.st_mode;
    if (!trusted(dir.st.st_uid)) return writable_by(dir.shown, Writer::owner, dir.st.st_uid);
    if (!(mode & (S_IWGRP | S_IWOTH))) return {};
    if (!(mode & S_ISVTX)) {
        return mode & S_IWOTH ? writable_by(dir.shown, Writer::everyone, 0)
                              : writable_by(dir.shown, Writer::group, dir.st.st_gid);
    }
    // In a sticky directory only an entry's owner may rename or remove it, but anyone may make
    // one that is missing.
    if (next && trusted(next->st_uid)) return {};
    return shared_entry(next_shown, next ? &next->st_uid : nullptr);
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

// Appends the names of `text` to `todo`, so that the first is taken first.
void push_names(std::vector<std::string>& todo, std::string_view text) {
    std::vector<std::string> names;
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('/', start), text.size());
        if (end > start) names.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    todo.insert(todo.end(), names.rbegin(), names.rend());
}

std::string shown_below(const std::string& dir, const std::string& name) {
    return dir == "/" ? dir + name : dir + "/" + name;
}

// Walks the way to `r.written` from "/", judging each step; see open_roots().
void open_root(Root& r) {
    std::vector<Step> way(1);
    way[0].fd = UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    way[0].shown = "/";
    if (!way[0].fd || fstat(way[0].fd.fd, &way[0].st) != 0) {
        r.set_aside = cannot_examine("/", errno);
        return;
    }
    std::vector<std::string> todo;
    push_names(todo, r.written.native());
    int links = 0;
    while (!todo.empty()) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            if (way.size() > 1) way.pop_back();
            continue;
        }
        const Step& dir = way.back();
        const std::string shown = shown_below(dir.shown, name);
        UniqueFd fd(openat(dir.fd.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd && errno != ENOENT && errno != ENOTDIR) {
            r.set_aside = cannot_examine(shown, errno);
            return;
        }
        if (fd && fstat(fd.fd, &st) != 0) {
            r.set_aside = cannot_examine(shown, errno);
            return;
        }
        r.set_aside = way_risk(dir, shown, fd ? &st : nullptr);
        if (!r.set_aside.empty()) return;
        if (!fd) {
            // Missing: the names from here on are still to be made, by root alone.
            fs::path rest = name;
            for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
                if (*it == "..") {
                    rest = rest.parent_path();
                } else if (*it != ".") {
                    rest /= *it;
                }
            }
            r.rest = rest.empty() ? fs::path(".") : rest;
            r.resolved = (fs::path(dir.shown) / r.rest).lexically_normal();
            r.dir = std::move(way.back().fd);
            return;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!trusted(st.st_uid)) {
                r.set_aside = foreign_link(shown, st.st_uid);
                return;
            }
            char target[PATH_MAX];
            const ssize_t n = readlinkat(fd.fd, "", target, sizeof target);
            if (n < 0 || static_cast<size_t>(n) >= sizeof target || ++links > max_links) {
                r.set_aside = cannot_examine(shown, n < 0 ? errno : ELOOP);
                return;
            }
            const std::string_view to(target, static_cast<size_t>(n));
            if (!to.empty() && to.front() == '/') way.resize(1);
            push_names(todo, to);
            continue;
        }
        way.push_back({std::move(fd), st, shown});
    }
    r.resolved = way.back().shown;
    r.dir = std::move(way.back().fd);
}

}  // namespace

std::vector<Root> open_roots(const std::vector<fs::path>& written) {
    std::vector<Root> roots(written.size());
    for (size_t i = 0; i < written.size(); ++i) {
        Root& r = roots[i];
        r.written = written[i];
        open_root(r);
        if (r.set_aside.empty()) continue;
        r.dir.reset();
        r.resolved.clear();
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
        if (root.set_aside.empty() && lies_under(*abspath, root.resolved, found.beneath)) {
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
        if (!abspath || as_caller.error() || root.set_aside.empty()) continue;
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
