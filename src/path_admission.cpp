// The allowed roots and the admission of command-line paths under them.
#include "path_admission.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

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

// The process's capability sets, as capget(2) and capset(2) take them.
struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};

    bool get() { return syscall(SYS_capget, &header, data) == 0; }
    bool set() { return syscall(SYS_capset, &header, data) == 0; }
};

// Sets the effective capabilities to `effective` and reads them back; true when they took.
bool set_effective(const uint32_t (&effective)[2]) {
    Capabilities caps;
    if (!caps.get()) return false;
    for (int i = 0; i < 2; ++i) caps.data[i].effective = effective[i];
    Capabilities now;
    return caps.set() && now.get() && now.data[0].effective == effective[0] &&
           now.data[1].effective == effective[1];
}

}  // namespace

CallerRights::CallerRights()
    : fsuid_(static_cast<unsigned>(setfsuid(no_id))),
      fsgid_(static_cast<unsigned>(setfsgid(no_id))) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    // The file-system ids alone leave capabilities effective when the process keeps them across
    // an id change (SECBIT_NO_SETUID_FIXUP), and never touch CAP_SYS_PTRACE, which opens other
    // users' /proc/PID/cwd: a caller other than root acts with no capability at all.
    Capabilities caps;
    caps_saved_ = uid != 0 && caps.get();
    saved_effective_[0] = caps.data[0].effective;
    saved_effective_[1] = caps.data[1].effective;
    setfsgid(gid);
    setfsuid(uid);
    const bool bare = uid == 0 || (caps_saved_ && set_effective({0, 0}));
    // Neither id call reports failure; reading the ids back does.
    held_ = bare && static_cast<uid_t>(setfsuid(no_id)) == uid &&
            static_cast<gid_t>(setfsgid(no_id)) == gid;
}

CallerRights::~CallerRights() {
    setfsuid(fsuid_);
    setfsgid(fsgid_);
    if (caps_saved_) set_effective(saved_effective_);
}

std::optional<Admission> admit(const fs::path& path, const std::vector<fs::path>& roots) {
    std::error_code ec;
    fs::path abspath;
    struct stat st {};
    int missing = 0;
    {
        const CallerRights as_caller;
        if (!as_caller.held()) return std::nullopt;
        // A missing path is no link; only a status that could not be read at all is an error.
        if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
            missing = errno;
        } else if (S_ISLNK(st.st_mode)) {
            return std::nullopt;
        }
        abspath = fs::weakly_canonical(path, ec);
        if (ec) return std::nullopt;
    }

    for (const fs::path& root : roots) {
        const fs::path canonical_parent = fs::weakly_canonical(root, ec);
        if (ec) return std::nullopt;
        auto it = abspath.begin();
        auto last2 = canonical_parent.begin();
        while (it != abspath.end() && last2 != canonical_parent.end() &&
               it->native() == last2->native()) {
            ++it;
            ++last2;
        }
        if (last2 != canonical_parent.end()) continue;

        Admission found{canonical_parent, {}, missing, st.st_dev, st.st_ino};
        for (; it != abspath.end(); ++it) {
            if (!it->empty()) found.beneath /= *it;
        }
        if (found.beneath.empty()) found.beneath = ".";
        return found;
    }
    return std::nullopt;
}

bool allowed(const fs::path& path) {
    return admit(path, allowed_paths).has_value();
}
