// The allowed roots and the admission of command-line paths under them.
#include "path_admission.h"

#include <sys/fsuid.h>
#include <unistd.h>

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

}  // namespace

CallerRights::CallerRights()
    : fsuid_(static_cast<unsigned>(setfsuid(no_id))),
      fsgid_(static_cast<unsigned>(setfsgid(no_id))) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    setfsgid(gid);
    setfsuid(uid);
    // Neither call reports failure; reading the ids back does.
    held_ =
        static_cast<uid_t>(setfsuid(no_id)) == uid && static_cast<gid_t>(setfsgid(no_id)) == gid;
}

CallerRights::~CallerRights() {
    setfsuid(fsuid_);
    setfsgid(fsgid_);
}

std::optional<Admission> admit(const fs::path& path, const std::vector<fs::path>& roots) {
    std::error_code ec;
    fs::path abspath;
    {
        const CallerRights as_caller;
        if (!as_caller.held()) return std::nullopt;
        // A missing path is no link; only a status that could not be read at all is an error.
        const fs::file_status st = fs::symlink_status(path, ec);
        if (st.type() == fs::file_type::none || fs::is_symlink(st)) return std::nullopt;
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

        Admission found{canonical_parent, {}};
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
