// The repair of one path, and the one loop over what the walk meets.
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

// Whether handing a file with status `st` over to `target` changes its owner or group.
bool changes_hands(const struct stat& st, const Target& target) {
    return (target.uid != -1 && st.st_uid != static_cast<uid_t>(target.uid)) ||
           (target.gid != -1 && st.st_gid != static_cast<gid_t>(target.gid));
}

// Whether a path with status `st` already is as `target` would make it: owner, group and mode, and
// (the mode being what wanted_mode() leaves) no set-ID bit on a non-directory that an ownership
// change would clear.
bool as_wanted(const struct stat& st, const Target& target) {
    const mode_t mode = st.st_mode & 07777;
    return !changes_hands(st, target) &&
           wanted_mode(mode, S_ISDIR(st.st_mode), target.sgid) == mode;
}

// A listing that stopped for lack of descriptors or memory stopped by our limit, not the tree's.
bool ours(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == EOVERFLOW;
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

Repaired update_file_permissions(const Kernel& k, int fd, const struct stat& st,
                                 std::string_view path, const Target& target) {
    const bool dir = S_ISDIR(st.st_mode);
    mode_t mode = st.st_mode & 07777;
    // Nothing written where nothing is to be done: its ctime and its file capabilities stay.
    if (as_wanted(st, target)) {
        say_updated(path);
        return Repaired::yes;
    }
    // A file never gets a new owner or group with a set-ID bit: the kernel keeps set-group-ID on
    // one without group-execute when root changes its owner, so the bits go first, or nothing.
    if (!dir && (mode & set_ids)) {
        mode &= ~set_ids;
        if (const int err = change_mode(k, fd, mode, false)) {
            say_err(ownership_failure(path, err, mode_change_unavailable(k, err)));
            return Repaired::not_taken;
        }
    }
    if (fchownat(fd, "", static_cast<uid_t>(target.uid), static_cast<gid_t>(target.gid),
                 AT_EMPTY_PATH) != 0) {
        say_err(ownership_failure(path, errno));
        return Repaired::not_taken;
    }
    if (reread_mode(mode, dir, target.sgid, changes_hands(st, target))) {
        struct stat now;
        if (fstat(fd, &now) != 0) {
            say_err(permissions_failure(path, errno));
            return Repaired::mode_not;
        }
        mode = now.st_mode & 07777;
    }
    const mode_t want = wanted_mode(mode, dir, target.sgid);
    if (want != mode) {
        if (const int err = change_mode(k, fd, want, dir)) {
            say_err(permissions_failure(path, err, mode_change_unavailable(k, err)));
            return Repaired::mode_not;
        }
    }
    say_updated(path);
    return Repaired::yes;
}

Tally repair_all(const Kernel& k, TreeWalk& walk, const Target& target) {
    // Root may read any directory anyway; anyone else learns nothing below one he could not take,
    // unless he could list it himself.
    const bool by_root = getuid() == 0;
    Tally tally;
    for (const Entry* e = walk.next(); e; e = walk.next()) {
        // A file whose status, read by its name, shows nothing to do needs no more.
        if (e->looked && !S_ISLNK(e->st.st_mode) &&
            !hard_link_risk(e->st, k.hardlinks, target.uid) &&
            as_wanted(e->st, {target.uid, target.gid, false})) {
            ++tally.visited;
            say_updated(e->path);
            continue;
        }
        if (e->looked) e = walk.look_closer();
        ++tally.visited;
        const bool dir = e->kind == Entry::Kind::dir;
        switch (e->kind) {
            case Entry::Kind::unreachable:
                say_err(unreachable_line(e->path, e->at, e->err));
                ++tally.failures;
                continue;
            case Entry::Kind::link:
                say_err(symlink_notice(e->path));
                continue;
            case Entry::Kind::dir:
                if (e->listing_err != 0) {
                    say_err(iterate_warning(e->path, e->listing_unopened, e->listing_err));
                    if (ours(e->listing_err)) ++tally.failures;
                }
                break;
            case Entry::Kind::other:
                if (hard_link_risk(e->st, k.hardlinks, target.uid)) {
                    say_err(hard_link_refusal(e->path, e->st.st_nlink, k.hardlinks));
                    ++tally.failures;
                    continue;
                }
                break;
        }
        const Repaired done = update_file_permissions(k, e->fd, e->st, e->path,
                                                      {target.uid, target.gid, dir && target.sgid});
        if (done != Repaired::yes) ++tally.failures;
        if (dir && done == Repaired::not_taken && !by_root && !caller_can_list(e->fd)) walk.skip();
    }
    return tally;
}
