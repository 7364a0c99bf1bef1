// The walk: reaches every file through descriptors held on the directories that listed it.
#include "tree_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "interruption.h"

namespace {

// After this many entries in a row that had to be opened after all, a directory is not looked
// into by name any more: a first run would pay a status read per file for nothing.
constexpr int needless_looks = 4;

}  // namespace

TreeWalk::TreeWalk(const Kernel& k, const std::vector<Argument>& args,
                   const std::vector<Root>& roots)
    : kernel_(k),
      args_(args),
      roots_(roots),
      stack_(k, plan_descriptors()),
      args_left_(args.size()) {}

const Entry* TreeWalk::next() {
    settle();
    if (interruption()) return nullptr;
    if (!stack_.empty()) return next_in_top();
    if (args_left_ == 0) return nullptr;
    return argument(args_[--args_left_]);
}

// Done with the path handed on last: a file's descriptor goes to be closed with others, a
// directory's listing is held, unless skipped or empty.
void TreeWalk::settle() {
    if (looked_) stack_.top().needed = 0;
    looked_ = nullptr;
    if (pop_) stack_.pop();
    pop_ = false;
    if (listed_ && !skip_ && !listed_->starts.empty()) {
        listed_->next = listed_->starts.size();
        listed_->dir = std::move(listing_);
        stack_.push(std::move(*listed_));
    }
    if (file_ && !listed_) stack_.done(std::move(file_));
    listed_.reset();
    listing_.reset();
    file_.reset();
    skip_ = false;
}

const Entry* TreeWalk::argument(const Argument& arg) {
    path_ = arg.path.native();
    if (path_.size() >= PATH_MAX) return unreachable(Unreachable::examining, ENAMETOOLONG);
    Result<UniqueFd> file =
        stack_.with_room(-1, [&] { return confirm(kernel_, arg.path, arg.admitted, roots_); });
    if (!file) return unreachable(Unreachable::confirming, file.err);
    return examine(std::move(*file));
}

const Entry* TreeWalk::next_in_top() {
    if (lost_ == 0) lost_ = stack_.hold_top(path_);
    Frame& top = stack_.top();
    const char* name = top.name(--top.next);
    path_.resize(top.text_len);
    if (!path_.empty() && path_.back() != '/') path_ += '/';
    path_ += name;
    // A directory with nothing left to hand out needs no descriptor while its last entry's
    // subtree is walked.
    const bool last = top.next == 0;
    const int lost = lost_;
    const bool too_long = path_.size() >= PATH_MAX;
    // Reading the status by name, where it may spare the open, is safe whatever is there now:
    // nothing is written on its word.
    struct stat st;
    if (lost == 0 && !too_long && top.needed < needless_looks &&
        fstatat(top.dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        looked_ = name;
        pop_ = last;
        entry_ = {};
        entry_.looked = true;
        entry_.st = st;
        entry_.path = path_;
        return &entry_;
    }
    Result<UniqueFd> file = lost == 0 && !too_long
                                ? stack_.open_at(top.dir.fd, name, O_PATH | O_NOFOLLOW)
                                : failure(EBADF);
    if (last) {
        stack_.pop();
        lost_ = 0;
    }
    if (lost != 0) return unreachable(Unreachable::reopening, lost);
    if (too_long) return unreachable(Unreachable::examining, ENAMETOOLONG);
    if (!file) return unreachable(Unreachable::opening, file.err);
    return examine(std::move(*file));
}

const Entry* TreeWalk::look_closer() {
    Frame& top = stack_.top();
    ++top.needed;
    Result<UniqueFd> file = stack_.open_at(top.dir.fd, looked_, O_PATH | O_NOFOLLOW);
    looked_ = nullptr;
    if (pop_) stack_.pop();
    pop_ = false;
    if (!file) return unreachable(Unreachable::opening, file.err);
    return examine(std::move(*file));
}

const Entry* TreeWalk::examine(UniqueFd file) {
    entry_ = {};
    entry_.path = path_;
    if (fstat(file.fd, &entry_.st) != 0) return unreachable(Unreachable::examining, errno);
    entry_.fd = file.fd;
    file_ = std::move(file);
    if (S_ISLNK(entry_.st.st_mode)) {
        entry_.kind = Entry::Kind::link;
        return &entry_;
    }
    if (!S_ISDIR(entry_.st.st_mode)) return &entry_;
    entry_.kind = Entry::Kind::dir;
    listed_.emplace();
    listed_->text_len = path_.size();
    listed_->dev = entry_.st.st_dev;
    listed_->ino = entry_.st.st_ino;
    Result<UniqueFd> listing = stack_.open_at(file_.fd, ".", O_RDONLY | O_DIRECTORY);
    entry_.listing_unopened = !listing;
    entry_.listing_err = listing ? read_listing(listing->fd, *listed_) : listing.err;
    if (listing) {
        // The listing's own descriptor can change the mode where O_PATH ones cannot (see
        // change_mode()).
        entry_.fd = listing->fd;
        listing_ = std::move(*listing);
    }
    return &entry_;
}

const Entry* TreeWalk::unreachable(Unreachable at, int err) {
    entry_ = {};
    entry_.kind = Entry::Kind::unreachable;
    entry_.at = at;
    entry_.err = err;
    entry_.path = path_;
    return &entry_;
}
