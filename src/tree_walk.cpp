// The walk: reaches every file through descriptors held on the directories that listed it.
#include "tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel_calls.h"
#include "path_admission.h"
#include "report.h"
#include "unique_fd.h"

namespace fs = std::filesystem;

namespace {

// A listed directory whose entries are still being handled.
struct Frame {
    UniqueFd dir;         // where its entries are opened; may be closed when descriptors run short
    size_t text_len = 0;  // its full text is the walk's `path` up to here
    dev_t dev = 0;
    ino_t ino = 0;
    std::string names;             // the listing, each name ended by a NUL
    std::vector<uint32_t> starts;  // where each name begins, in listing order
    size_t next = 0;               // entries [0, next) are still to be handled

    const char* name(size_t i) const { return names.c_str() + starts[i]; }
};

// The run's state, shared by the walk's functions.
struct Walk {
    const Visitor& visit;
    size_t fd_budget = 0;
    size_t open_frames = 0;
    std::vector<Frame> stack;  // each frame's directory lies inside the one below it
    std::string path;          // the text of the path being handled; every frame's is a prefix
    CloseBatch done;           // descriptors of files already handled
    int ret = 0;
};

void status_failed(Walk& w, const std::string& text, std::string_view message) {
    say_err("Failed to get status of " + quote_path(text) + ": " +
            fs_error("symlink_status", message, text));
    ++w.ret;
}

// A path that could not be examined: one that is gone fails as its ownership change would have,
// any other error, described by `why`, at its status read.
void examine_failed(Walk& w, const std::string& text, int err, std::string_view why) {
    if (err == ENOENT || err == ENOTDIR) {
        say_err(ownership_failure(text, err));
        ++w.ret;
    } else {
        status_failed(w, text, why);
    }
}

void iterate_failed(Walk& w, const std::string& text, std::string_view what, int err) {
    say_err("Warning: Failed to iterate " + quote_path(text) + ": " +
            fs_error(what, std::strerror(err), text) +
            " (will still try to fix directory permissions)");
    // Running out of descriptors or memory is our limit, not the tree's: it must count.
    if (err == EMFILE || err == ENFILE || err == ENOMEM || err == EOVERFLOW) ++w.ret;
}

// What a failed confirmation of an argument means to its caller.
std::string_view confirm_error(int err) {
    switch (err) {
        case ELOOP:
            return "a component is now a symbolic link";
        case EXDEV:
            return "no longer beneath an allowed root";
        case ESTALE:
            return "changed while it was being confirmed";
        default:
            return std::strerror(err);
    }
}

// Closes the descriptor of the shallowest frame that can be reopened later, other than `keep`.
bool evict(Walk& w, size_t keep) {
    for (size_t i = 1; i < w.stack.size(); ++i) {
        if (i != keep && w.stack[i].dir) {
            w.stack[i].dir.reset();
            --w.open_frames;
            return true;
        }
    }
    return false;
}

// Makes room for one more descriptor; false when there is nothing left to give up.
bool free_descriptor(Walk& w, size_t keep) {
    return w.done.flush() || evict(w, keep);
}

UniqueFd open_at(Walk& w, int dirfd, const char* name, int flags, size_t keep) {
    for (;;) {
        UniqueFd fd(openat(dirfd, name, flags | O_CLOEXEC));
        if (fd || (errno != EMFILE && errno != ENFILE) || !free_descriptor(w, keep)) return fd;
    }
}

UniqueFd open_beneath(Walk& w, int dirfd, const char* path, int flags, size_t keep) {
    for (;;) {
        UniqueFd fd = ::open_beneath(dirfd, path, flags);
        if (fd || (errno != EMFILE && errno != ENFILE) || !free_descriptor(w, keep)) return fd;
    }
}

// Reads the whole listing of `fd` into `f`, in the platform's order; returns 0 or the error
// that stopped it, keeping what was read before.
int read_listing(int fd, Frame& f) {
    alignas(dirent64) char buf[64 * 1024];
    for (;;) {
        const long n = read_dirents(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (long off = 0; off < n;) {
            const auto* d = reinterpret_cast<const dirent64*>(buf + off);
            off += d->d_reclen;
            const char* nm = d->d_name;
            if (nm[0] == '.' && (nm[1] == '\0' || (nm[1] == '.' && nm[2] == '\0'))) continue;
            if (f.names.size() > UINT32_MAX - NAME_MAX - 1) return EOVERFLOW;
            const auto start = static_cast<uint32_t>(f.names.size());
            try {
                f.names.append(nm, std::strlen(nm) + 1);  // with its NUL
                f.starts.push_back(start);
            } catch (const std::bad_alloc&) {
                // A listing that never ends must not end the walk: keep what fits, like any
                // other listing that stops early. Shrinking never allocates.
                f.names.resize(start);
                return ENOMEM;
            }
        }
    }
}

void push_frame(Walk& w, Frame f) {
    if (w.open_frames >= w.fd_budget) evict(w, SIZE_MAX);
    ++w.open_frames;
    w.stack.push_back(std::move(f));
}

void pop_frame(Walk& w) {
    if (w.stack.back().dir) --w.open_frames;
    w.stack.pop_back();
}

// Gives frame `k` its descriptor back, and to up to half the budget of the frames just below it,
// kept for the walk back up: so a walk deeper than the budget reopens from far below only once
// per half budget. The first is reopened beneath the nearest frame below that holds a
// descriptor, each next beneath the one before; each must still be the directory that was
// listed. Returns 0 or an error number (ESTALE: replaced).
int reopen(Walk& w, size_t k) {
    size_t j = k;
    do --j;
    while (!w.stack[j].dir);
    const size_t first = k - std::min(k - j - 1, w.fd_budget / 2);
    for (size_t i = first, below = j; i <= k; below = i++) {
        // Frame i's text extends the other's by the names that lead from one to the other.
        const size_t from = w.stack[below].text_len;
        std::string rel = w.path.substr(from, w.stack[i].text_len - from);
        if (rel.front() == '/') rel.erase(0, 1);
        UniqueFd fd =
            open_beneath(w, w.stack[below].dir.fd, rel.c_str(), O_PATH | O_DIRECTORY, below);
        if (!fd) return errno;
        struct stat st;
        if (fstat(fd.fd, &st) != 0) return errno;
        if (st.st_dev != w.stack[i].dev || st.st_ino != w.stack[i].ino) return ESTALE;
        if (w.open_frames >= w.fd_budget) evict(w, i);
        w.stack[i].dir = std::move(fd);
        ++w.open_frames;
    }
    return 0;
}

// Sets the walk's path to that of entry `name` of frame `f`.
void enter(Walk& w, const Frame& f, const char* name) {
    w.path.resize(f.text_len);
    if (!w.path.empty() && w.path.back() != '/') w.path += '/';
    w.path += name;
}

// Hands the walk's path, examined as `file` with status `st`, to the visitor; a directory is
// listed first and its listing pushed as a frame.
void examine(Walk& w, UniqueFd file, const struct stat& st) {
    const std::string& text = w.path;
    if (!S_ISDIR(st.st_mode)) {
        w.ret += w.visit(file.fd, st, text).failures;
        w.done.add(std::move(file));
        return;
    }

    Frame f;
    f.text_len = text.size();
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    UniqueFd list = open_at(w, file.fd, ".", O_RDONLY | O_DIRECTORY, SIZE_MAX);
    if (!list) {
        iterate_failed(w, text, "directory iterator cannot open directory", errno);
    } else if (int err = read_listing(list.fd, f)) {
        iterate_failed(w, text, "directory iterator cannot advance", err);
    }
    // The listing's own descriptor can change the mode where O_PATH ones cannot (see change_mode).
    const Visit v = w.visit(list ? list.fd : file.fd, st, text);
    w.ret += v.failures;
    if (!v.enter || f.starts.empty()) return;
    f.next = f.starts.size();
    f.dir = std::move(list);
    push_frame(w, std::move(f));
}

// Handles the next pending entry of the top frame, popping the frame once it has none left.
void visit_next(Walk& w) {
    const size_t k = w.stack.size() - 1;
    if (!w.stack[k].dir) {
        if (int err = reopen(w, k)) {
            const std::string_view why =
                err == ESTALE ? "directory was replaced during the walk" : std::strerror(err);
            Frame& top = w.stack[k];
            while (top.next > 0) {
                enter(w, top, top.name(--top.next));
                status_failed(w, w.path, why);
            }
            pop_frame(w);
            return;
        }
    }
    Frame& top = w.stack[k];
    const char* name = top.name(--top.next);
    enter(w, top, name);
    const std::string& text = w.path;
    const bool last = top.next == 0;

    if (text.size() >= PATH_MAX) {
        status_failed(w, text, std::strerror(ENAMETOOLONG));
        if (last) pop_frame(w);
        return;
    }
    UniqueFd file = open_at(w, top.dir.fd, name, O_PATH | O_NOFOLLOW, k);
    const int err = errno;
    // A directory with nothing left to hand out needs no descriptor while its last entry's
    // subtree is walked.
    if (last) pop_frame(w);
    if (!file) {
        examine_failed(w, text, err, std::strerror(err));
        return;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0) {
        status_failed(w, text, std::strerror(errno));
        return;
    }
    examine(w, std::move(file), st);
}

// Confirms afresh that `arg` lies beneath a root, opens it there without following any link,
// and walks it.
void visit_argument(Walk& w, const fs::path& arg, const std::vector<Root>& roots) {
    w.path = arg.native();
    const std::string& text = w.path;
    if (text.size() >= PATH_MAX) {
        status_failed(w, text, std::strerror(ENAMETOOLONG));
        return;
    }
    Result<UniqueFd> file = confirm(arg, roots);
    while ((file.err == EMFILE || file.err == ENFILE) && w.done.flush()) file = confirm(arg, roots);
    if (!file) {
        examine_failed(w, text, file.err, confirm_error(file.err));
        return;
    }
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
        status_failed(w, text, std::strerror(errno));
        return;
    }
    examine(w, std::move(file.value), st);
}

// Raises the soft descriptor limit to the hard one and sets how many directories may be held open
// and how many handled files may wait to be closed, keeping room for the standard streams.
void plan_descriptors(Walk& w) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) getrlimit(RLIMIT_NOFILE, &lim);
    }
    const rlim_t limit = lim.rlim_cur > 0 ? lim.rlim_cur : 32;
    const rlim_t batch = std::clamp<rlim_t>(limit / 64, 1, 64);
    const rlim_t reserve = 3 + batch + (limit >= 64 ? 16 : limit / 4);
    w.done.max = static_cast<size_t>(batch);
    w.done.fds.reserve(w.done.max);
    w.fd_budget = limit > reserve + 2 ? static_cast<size_t>(limit - reserve) : 2;
}

}  // namespace

int walk_trees(const std::vector<fs::path>& args, const std::vector<Root>& roots,
               const Visitor& visit) {
    if (args.empty()) return 0;
    Walk w{visit, 0, 0, {}, {}, {}, 0};
    plan_descriptors(w);
    for (size_t i = args.size(); i-- > 0;) {
        visit_argument(w, args[i], roots);
        while (!w.stack.empty()) visit_next(w);
    }
    return w.ret;
}
