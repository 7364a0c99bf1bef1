// The repair of one examined path, and the run that hands every admitted tree to the walk.
#include "permission_repair.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kernel_calls.h"
#include "report.h"
#include "tree_walk.h"

namespace fs = std::filesystem;

namespace {

// Why a non-directory with status `st` may be a link planted to a file outside the tree, as the
// end of its refusal line; nullptr when it may be handed over.
const char* hard_link_risk(const struct stat& st, bool hardlinks_protected, uid_t caller) {
    if (st.st_nlink <= 1) return nullptr;
    // Without the kernel's protection anyone may link anyone's file.
    if (!hardlinks_protected) return " hard links while /proc/sys/fs/protected_hardlinks is not 1";
    // With it, still any file he may read and write: only root may be handed another's.
    if (caller != 0 && st.st_uid != caller) return " hard links owned by another user";
    return nullptr;
}

}  // namespace

int update_file_permissions(int fd, const struct stat& st, std::string_view path, int32_t uid,
                            int32_t gid, bool setgid) {
    if (fchownat(fd, "", static_cast<uid_t>(uid), static_cast<gid_t>(gid), AT_EMPTY_PATH) != 0) {
        say_err(ownership_failure(path, errno));
        return 1;
    }
    auto permissions_failed = [&](int err) {
        say_err("Failed to update permissions of " + quote_path(path) + ": (" +
                std::to_string(err) + ") " + std::strerror(err) + mode_change_unavailable(err));
        return 1;
    };
    mode_t mode = st.st_mode;
    // The ownership change may have cleared set-user-ID or set-group-ID: never put them back.
    if (mode & (S_ISUID | S_ISGID)) {
        struct stat now;
        if (fstat(fd, &now) != 0) return permissions_failed(errno);
        mode = now.st_mode;
    }
    mode_t group_perms = S_IRGRP;
    if (setgid) group_perms |= S_IWGRP | S_ISGID;
    mode_t want = (mode | group_perms) & 07777;
    // The kernel keeps set-group-ID on a file without group-execute when root changes its owner:
    // a file handed over is never left set-user-ID or set-group-ID for its new owner's group.
    if (!S_ISDIR(mode)) want &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (want != (mode & 07777)) {
        if (const int err = change_mode(fd, want, S_ISDIR(mode))) return permissions_failed(err);
    }
    // Reused: this line is printed for nearly every file of the tree.
    static std::string line;
    line.assign("Updated ownership and permissions for ");
    append_quoted(line, path);
    say_out(line);
    return 0;
}

int repair_all(const std::vector<fs::path>& paths, int32_t uid, int32_t gid, bool sgid,
               const std::vector<fs::path>& roots) {
    if (paths.empty()) return 0;
    const bool protection = hardlinks_protected();
    const uid_t caller = getuid();
    const Visitor repair = [&](int fd, const struct stat& st, const std::string& path) {
        if (S_ISLNK(st.st_mode)) {
            say_err(quote_path(path) + " is a symlink, not modifying permission");
            return 0;
        }
        const bool dir = S_ISDIR(st.st_mode);
        if (const char* why = dir ? nullptr : hard_link_risk(st, protection, caller)) {
            say_err("Failed to update ownership of" + quote_path(path) + ": refusing a file with " +
                    std::to_string(st.st_nlink) + why);
            return 1;
        }
        return update_file_permissions(fd, st, path, uid, gid, dir && sgid);
    };
    return walk_trees(paths, roots, repair);
}
