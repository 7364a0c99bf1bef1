// The resolver: names to descriptors, one name at a time, no link followed that nobody but root
// controls.
#include "resolve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// As many links as the kernel follows in one path.
constexpr int max_links = 40;

using What = WayFault::What;

// Who may lead the way to a root: root, and the tool's own user where it runs without root's
// rights (who can change nothing the tool could not).
bool trusted(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// A directory of the way: held, with its status and where it is.
struct Step {
    UniqueFd fd;
    struct stat st {};
    std::string shown;
};

std::string shown_below(const std::string& dir, const std::string& name) {
    return dir == "/" ? dir + name : dir + "/" + name;
}

// Who other than root could change where name `next_shown`, looked up in directory `dir`, leads;
// nobody when sound. `next` is its status there, or null when it is missing.
WayFault way_risk(const Step& dir, const std::string& next_shown, const struct stat* next) {
    const mode_t mode = dir.st.st_mode;
    if (!trusted(dir.st.st_uid)) return {What::owned, dir.shown, dir.st.st_uid};
    if (!(mode & (S_IWGRP | S_IWOTH))) return {};
    if (!(mode & S_ISVTX)) {
        return mode & S_IWOTH ? WayFault{What::everyone_writable, dir.shown}
                              : WayFault{What::group_writable, dir.shown, dir.st.st_gid};
    }
    // In a sticky directory only an entry's owner may rename or remove it, but anyone may make
    // one that is missing.
    if (next && trusted(next->st_uid)) return {};
    return next ? WayFault{What::foreign_entry, next_shown, next->st_uid}
                : WayFault{What::missing_entry, next_shown};
}

// `err`, met opening `name` in `at`, as openat2(2) gives it: a symbolic link met where a
// directory was wanted is a loop.
int link_is_loop(int at, const char* name, int err) {
    struct stat st;
    return err == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)
               ? ELOOP
               : err;
}

// Opens the last name of a path beneath, with the caller's `flags`; `dir` when it must be a
// directory.
Result<Chased> open_last(int at, const char* name, int flags, bool dir) {
    const int want = O_PATH | O_NOFOLLOW;
    // Only a final name that asked for the link itself may be one; any other link is a loop.
    const bool link_itself = !dir && (flags & want) == want;
    Result<UniqueFd> fd =
        opened(openat(at, name, flags | (dir ? O_DIRECTORY : 0) | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return failure(link_itself ? fd.err : link_is_loop(at, name, fd.err));
    struct stat st;
    if (!link_itself && (flags & O_PATH) && fstat(fd->fd, &st) == 0 && S_ISLNK(st.st_mode)) {
        return failure(ELOOP);
    }
    return Chased{std::move(*fd), {}, {}};
}

// The names of `todo`, taken last first, as one relative path normalised lexically.
std::string rest_of(const std::vector<std::string>& todo) {
    fs::path rest;
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
        if (*it == "..") {
            rest = rest.parent_path();
        } else if (*it != ".") {
            rest /= *it;
        }
    }
    return rest.empty() ? "." : rest.native();
}

}  // namespace

Names split_names(std::string_view path) {
    Names p;
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (!name.empty() && name != ".") {
            p.names.push_back(name);
            p.dir = end < path.size();
            p.climbs = p.climbs || name == "..";
        }
        start = end + 1;
    }
    return p;
}

Result<Chased> chase(int dirfd, std::string_view path, Chase how, int flags, WayFault* fault) {
    const bool root_way = how & Chase::root_way;
    WayFault unused;
    WayFault& why = fault ? *fault : unused;
    const auto fail_at = [&why](const std::string& shown, int err) {
        why = {What::unexaminable, shown, 0, err};
        return failure(err);
    };
    const Names p = split_names(path);
    if (!root_way && path.empty()) return failure(ENOENT);
    if (!root_way && (path.front() == '/' || p.climbs)) return failure(EXDEV);
    // The way so far; names are looked up in the last. Beneath, there is no way back: only the
    // last is kept, and the first is `dirfd`.
    std::vector<Step> way(1);
    if (root_way) {
        way[0] = {UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)), {}, "/"};
        if (!way[0].fd || fstat(way[0].fd.fd, &way[0].st) != 0) return fail_at("/", errno);
    }
    const auto at = [&] { return way.back().fd ? way.back().fd.fd : dirfd; };
    std::vector<std::string> todo(p.names.rbegin(), p.names.rend());
    int links = 0;
    while (!todo.empty()) {
        const std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            if (way.size() > 1) way.pop_back();
            continue;
        }
        if (!root_way) {
            if (todo.empty()) return open_last(at(), name.c_str(), flags, p.dir);
            Result<UniqueFd> next =
                opened(openat(at(), name.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
            if (!next) return failure(link_is_loop(at(), name.c_str(), next.err));
            way.back().fd = std::move(*next);
            continue;
        }
        const std::string shown = shown_below(way.back().shown, name);
        Result<UniqueFd> fd = opened(openat(at(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd && fd.err != ENOENT && fd.err != ENOTDIR) return fail_at(shown, fd.err);
        if (fd && fstat(fd->fd, &st) != 0) return fail_at(shown, errno);
        why = way_risk(way.back(), shown, fd ? &st : nullptr);
        if (!why.sound()) return failure(EPERM);
        if (!fd) {
            if (!(how & Chase::missing_ok)) return failure(fd.err);
            // Missing: the names from here on are still to be made, by root alone.
            todo.push_back(name);
            Chased c{std::move(way.back().fd), {}, rest_of(todo)};
            c.shown = (fs::path(way.back().shown) / c.rest).lexically_normal().native();
            return c;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!trusted(st.st_uid)) {
                why = {What::foreign_link, shown, st.st_uid};
                return failure(EPERM);
            }
            char target[PATH_MAX];
            const ssize_t n = readlinkat(fd->fd, "", target, sizeof target);
            if (n < 0 || static_cast<size_t>(n) >= sizeof target || ++links > max_links) {
                return fail_at(shown, n < 0 ? errno : ELOOP);
            }
            const std::string_view to(target, static_cast<size_t>(n));
            if (!to.empty() && to.front() == '/') way.resize(1);
            const Names names = split_names(to);
            todo.insert(todo.end(), names.names.rbegin(), names.names.rend());
            continue;
        }
        way.push_back({std::move(*fd), st, shown});
    }
    // Every name is behind: beneath, the path named `dirfd` itself.
    if (!root_way) return open_last(dirfd, ".", flags, false);
    return Chased{std::move(way.back().fd), way.back().shown, {}};
}

Result<UniqueFd> open_beneath(const Kernel& k, int dirfd, const char* path, int flags) {
    // Refused by its text alone, the same both ways, and before openat2 could answer EAGAIN to a
    // ".." that races a rename elsewhere.
    if (*path == '\0') return failure(ENOENT);
    if (*path == '/' || split_names(path).climbs) return failure(EXDEV);
    if (k.openat2) return openat2_beneath(dirfd, path, flags);
    Result<Chased> c = chase(dirfd, path, Chase::beneath, flags);
    if (!c) return failure(c.err);
    return std::move(c->fd);
}
