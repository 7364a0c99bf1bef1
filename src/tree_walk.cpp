// The walk: reaches every file through descriptors held on the directories that listed it.
#include "tree_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "dir_stack.h"
#include "interruption.h"
#include "report.h"

namespace {

// The run's state, shared by the walk's functions.
struct Walk {
    const Visitor& visit;
    DirStack stack;
    std::string path;  // the text of the path being handled; every frame's is a prefix
    Tally tally;
};

// A path that could not be examined: one that is gone fails as its ownership change would have,
// any other error, described by `why`, at its status read.
int examine_failed(const std::string& text, int err, std::string_view why) {
    return fail(err == ENOENT || err == ENOTDIR ? ownership_failure(text, err)
                                                : status_failure(text, why));
}

// Sets the walk's path to that of entry `name` of frame `f`.
void enter(Walk& w, const Frame& f, const char* name) {
    ++w.tally.visited;
    w.path.resize(f.text_len);
    if (!w.path.empty() && w.path.back() != '/') w.path += '/';
    w.path += name;
}

// Hands the walk's path, examined as `file` with status `st`, to the visitor; a directory is
// listed first and, unless the visit says not to enter it, its listing pushed as a frame.
void examine(Walk& w, UniqueFd file, const struct stat& st) {
    const std::string& text = w.path;
    if (!S_ISDIR(st.st_mode)) {
        w.tally.failures += w.visit(file.fd, st, text).failures;
        w.stack.done(std::move(file));
        return;
    }
    Frame f;
    f.text_len = text.size();
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    Result<UniqueFd> list = w.stack.open_at(file.fd, ".", O_RDONLY | O_DIRECTORY);
    if (const int err = list ? read_listing(list->fd, f) : list.err) {
        const std::string line = iterate_warning(text, !list, err);
        // Running out of descriptors or memory is our limit, not the tree's: it must count.
        if (err == EMFILE || err == ENFILE || err == ENOMEM || err == EOVERFLOW) {
            w.tally.failures += fail(line);
        } else {
            say_err(line);
        }
    }
    // The listing's own descriptor can change the mode where O_PATH ones cannot (see change_mode).
    const Visit v = w.visit(list ? list->fd : file.fd, st, text);
    w.tally.failures += v.failures;
    if (!v.enter || f.starts.empty()) return;
    f.next = f.starts.size();
    f.dir = std::move(*list);
    w.stack.push(std::move(f));
}

// Handles the next pending entry of the top frame, popping the frame once it has none left.
void visit_next(Walk& w) {
    if (const int err = w.stack.hold_top(w.path)) {
        Frame& top = w.stack.top();
        while (top.next > 0) {
            enter(w, top, top.name(--top.next));
            w.tally.failures += fail(status_failure(w.path, reopen_failure(err)));
        }
        w.stack.pop();
        return;
    }
    Frame& top = w.stack.top();
    const char* name = top.name(--top.next);
    enter(w, top, name);
    const std::string& text = w.path;
    // A directory with nothing left to hand out needs no descriptor while its last entry's
    // subtree is walked.
    const bool last = top.next == 0;
    if (text.size() >= PATH_MAX) {
        w.tally.failures += fail(status_failure(text, std::strerror(ENAMETOOLONG)));
        if (last) w.stack.pop();
        return;
    }
    Result<UniqueFd> file = w.stack.open_at(top.dir.fd, name, O_PATH | O_NOFOLLOW);
    if (last) w.stack.pop();
    struct stat st;
    if (!file) {
        w.tally.failures += examine_failed(text, file.err, std::strerror(file.err));
    } else if (fstat(file->fd, &st) != 0) {
        w.tally.failures += fail(status_failure(text, std::strerror(errno)));
    } else {
        examine(w, std::move(*file), st);
    }
}

// Confirms afresh that `arg` lies beneath a root, opens it there without following any link,
// and walks it.
void visit_argument(Walk& w, const Kernel& k, const Argument& arg, const std::vector<Root>& roots) {
    ++w.tally.visited;
    w.path = arg.path.native();
    const std::string& text = w.path;
    if (text.size() >= PATH_MAX) {
        w.tally.failures += fail(status_failure(text, std::strerror(ENAMETOOLONG)));
        return;
    }
    Result<UniqueFd> file = confirm(k, arg.path, arg.admitted, roots);
    while ((file.err == EMFILE || file.err == ENFILE) && w.stack.make_room(-1)) {
        file = confirm(k, arg.path, arg.admitted, roots);
    }
    struct stat st;
    if (!file) {
        w.tally.failures += examine_failed(text, file.err, confirm_failure(file.err));
    } else if (fstat(file->fd, &st) != 0) {
        w.tally.failures += fail(status_failure(text, std::strerror(errno)));
    } else {
        examine(w, std::move(*file), st);
    }
}

}  // namespace

Tally walk_trees(const Kernel& k, const std::vector<Argument>& args, const std::vector<Root>& roots,
                 const Visitor& visit) {
    if (args.empty()) return {};
    Walk w{visit, DirStack(k, plan_descriptors()), {}, {}};
    // An interruption is heeded between two paths, never within one.
    for (size_t i = args.size(); i-- > 0 && !interruption();) {
        visit_argument(w, k, args[i], roots);
        while (!w.stack.empty() && !interruption()) visit_next(w);
    }
    return w.tally;
}
