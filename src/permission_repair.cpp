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

constexpr mode_t set_ids = S_ISUID | S_ISGID;

// Why a non-directory with status `st` may be a link planted to a file outside the tree, as the
// end of its refusal line; nullptr when it may be handed over to owner `uid`.
const char* hard_link_risk(const struct stat& st, bool hardlinks_protected, int32_t uid) {
    if (st.st_nlink <= 1) return nullptr;
    // Without the kernel's protection anyone may link anyone's file.
    if (!hardlinks_protected) return " hard links while /proc/sys/fs/protected_hardlinks is not 1";
    // With it, still any file he may read and write, root's and other users' among them: only a
    // file that already belongs to the new owner, a user other than root, is his to hand over.
    if (uid == -1 || uid == 0 || st.st_uid != static_cast<uid_t>(uid)) {
        return " hard links owned by another user";
    }
    return nullptr;
}

// Whether handing a file with status `st` to `uid` and `gid` changes its owner or group.
bool changes_hands(const struct stat& st, int32_t uid, int32_t gid) {
    return (uid != -1 && st.st_uid != static_cast<uid_t>(uid)) ||
           (gid != -1 && st.st_gid != static_cast<gid_t>(gid));
}

// How far the repair of one path got.
enum class Outcome { updated, ownership_failed, permissions_failed };

Outcome repair(int fd, const struct stat& st, std::string_view path, int32_t uid, int32_t gid,
               bool setgid) {
    const bool dir = S_ISDIR(st.st_mode);
    mode_t mode = st.st_mode & 07777;
    // A file never gets a new owner or group with a set-ID bit: the kernel keeps set-group-ID on
    // one without group-execute when root changes its owner, so the bits go first, or nothing.
    if (!dir && (mode & set_ids)) {
        mode &= ~set_ids;
        if (const int err = change_mode(fd, mode, false)) {
            say_err(ownership_failure(path, err) + mode_change_unavailable(err));
            return Outcome::ownership_failed;
        }
    }
    if (fchownat(fd, "", static_cast<uid_t>(uid), static_cast<gid_t>(gid), AT_EMPTY_PATH) != 0) {
        say_err(ownership_failure(path, errno));
        return Outcome::ownership_failed;
    }
    auto permissions_failed = [&](int err) {
        say_err("Failed to update permissions of " + quote_path(path) + ": (" +
                std::to_string(err) + ") " + std::strerror(err) + mode_change_unavailable(err));
        return Outcome::permissions_failed;
    };
    mode_t group_perms = S_IRGRP;
    // Writing into a shared directory needs search too: the group gets both.
    if (setgid) group_perms |= S_IWGRP | S_IXGRP | S_ISGID;
    mode_t want = mode | group_perms;
    // Re-read when the mode as seen may be stale: a directory's set-ID bits, should the ownership
    // change have cleared them, are never put back; and a file whose owner could still add them
    // until it changed hands must not keep them after, even if no mode change was planned.
    if ((dir && (mode & set_ids)) || (!dir && want == mode && changes_hands(st, uid, gid))) {
        struct stat now;
        if (fstat(fd, &now) != 0) return permissions_failed(errno);
        mode = now.st_mode & 07777;
        want = mode | group_perms;
    }
    if (!dir) want &= ~set_ids;
    if (want != mode) {
        if (const int err = change_mode(fd, want, dir)) return permissions_failed(err);
    }
    // Reused: this line is printed for nearly every file of the tree.
    static std::string line;
    line.assign("Updated ownership and permissions for ");
    append_quoted(line, path);
    say_out(line);
    return Outcome::updated;
}

}  // namespace

int update_file_permissions(int fd, const struct stat& st, std::string_view path, int32_t uid,
                            int32_t gid, bool setgid) {
    return repair(fd, st, path, uid, gid, setgid) == Outcome::updated ? 0 : 1;
}

int repair_all(const std::vector<fs::path>& paths, int32_t uid, int32_t gid, bool sgid,
               const std::vector<Root>& roots) {
    if (paths.empty()) return 0;
    const bool protection = hardlinks_protected();
    // Root may read any directory anyway; anyone else learns nothing below one he could not take.
    const bool by_root = getuid() == 0;
    const Visitor visit = [&](int fd, const struct stat& st, const std::string& path) {
        if (S_ISLNK(st.st_mode)) {
            say_err(quote_path(path) + " is a symlink, not modifying permission");
            return Visit{};
        }
        const bool dir = S_ISDIR(st.st_mode);
        if (const char* why = dir ? nullptr : hard_link_risk(st, protection, uid)) {
            say_err("Failed to update ownership of" + quote_path(path) + ": refusing a file with " +
                    std::to_string(st.st_nlink) + why);
            return Visit{1};
        }
        const Outcome done = repair(fd, st, path, uid, gid, dir && sgid);
        return Visit{done == Outcome::updated ? 0 : 1,
                     by_root || done != Outcome::ownership_failed};
    };
    return walk_trees(paths, roots, visit);
}
