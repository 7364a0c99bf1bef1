// The repair of one examined path, and the run that hands every admitted tree to the walk.
#include "permission_repair.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "report.h"

namespace {

constexpr mode_t set_ids = S_ISUID | S_ISGID;

// Whether a non-directory with status `st` may be a link planted to a file outside the tree, so
// that it must not be handed over to owner `uid`.
bool hard_link_risk(const struct stat& st, const ProcFinding& protection, int32_t uid) {
    if (st.st_nlink <= 1) return false;
    // Without the kernel's protection, or not knowing it, anyone may have linked anyone's file.
    if (!protection.yes()) return true;
    // With it, still any file he may read and write, root's and other users' among them: only a
    // file that already belongs to the new owner, a user other than root, is his to hand over.
    return uid == -1 || uid == 0 || st.st_uid != static_cast<uid_t>(uid);
}

// Whether handing a file with status `st` to `uid` and `gid` changes its owner or group.
bool changes_hands(const struct stat& st, int32_t uid, int32_t gid) {
    return (uid != -1 && st.st_uid != static_cast<uid_t>(uid)) ||
           (gid != -1 && st.st_gid != static_cast<gid_t>(gid));
}

// Repairs one path (see update_file_permissions()); a directory whose owner could not be changed
// is not to be entered.
Visit repair(const Kernel& k, int fd, const struct stat& st, std::string_view path, int32_t uid,
             int32_t gid, bool setgid) {
    const bool dir = S_ISDIR(st.st_mode);
    mode_t mode = st.st_mode & 07777;
    // A file never gets a new owner or group with a set-ID bit: the kernel keeps set-group-ID on
    // one without group-execute when root changes its owner, so the bits go first, or nothing.
    if (!dir && (mode & set_ids)) {
        mode &= ~set_ids;
        if (const int err = change_mode(k, fd, mode, false)) {
            return {fail(ownership_failure(path, err, mode_change_unavailable(k, err))), false};
        }
    }
    if (fchownat(fd, "", static_cast<uid_t>(uid), static_cast<gid_t>(gid), AT_EMPTY_PATH) != 0) {
        return {fail(ownership_failure(path, errno)), false};
    }
    if (reread_mode(mode, dir, setgid, changes_hands(st, uid, gid))) {
        struct stat now;
        if (fstat(fd, &now) != 0) return {fail(permissions_failure(path, errno)), true};
        mode = now.st_mode & 07777;
    }
    const mode_t want = wanted_mode(mode, dir, setgid);
    if (want != mode) {
        if (const int err = change_mode(k, fd, want, dir)) {
            return {fail(permissions_failure(path, err, mode_change_unavailable(k, err))), true};
        }
    }
    say_updated(path);
    return {0, true};
}

}  // namespace

mode_t wanted_mode(mode_t mode, bool dir, bool setgid) {
    mode_t group_perms = S_IRGRP;
    // Writing into a shared directory needs search too: the group gets both.
    if (setgid) group_perms |= S_IWGRP | S_IXGRP | S_ISGID;
    return (mode | group_perms) & (dir ? 07777 : 07777 & ~set_ids);
}

bool reread_mode(mode_t mode, bool dir, bool setgid, bool changes_hands) {
    if (dir) return (mode & set_ids) != 0;
    return changes_hands && wanted_mode(mode, dir, setgid) == mode;
}

int update_file_permissions(const Kernel& k, int fd, const struct stat& st, std::string_view path,
                            int32_t uid, int32_t gid, bool setgid) {
    return repair(k, fd, st, path, uid, gid, setgid).failures;
}

Tally repair_all(const Kernel& k, const std::vector<Argument>& paths, int32_t uid, int32_t gid,
                 bool sgid, const std::vector<Root>& roots) {
    // Root may read any directory anyway; anyone else learns nothing below one he could not take,
    // unless he could list it himself.
    const bool by_root = getuid() == 0;
    const Visitor visit = [&](int fd, const struct stat& st, const std::string& path) {
        if (S_ISLNK(st.st_mode)) {
            say_err(symlink_notice(path));
            return Visit{};
        }
        const bool dir = S_ISDIR(st.st_mode);
        if (!dir && hard_link_risk(st, k.hardlinks, uid)) {
            return Visit{fail(hard_link_refusal(path, st.st_nlink, k.hardlinks))};
        }
        Visit v = repair(k, fd, st, path, uid, gid, dir && sgid);
        v.enter = v.enter || by_root || (dir && caller_can_list(fd));
        return v;
    };
    return walk_trees(k, paths, roots, visit);
}
