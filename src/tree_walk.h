// Owns the descriptor-held walk: which paths are met below each argument, in what order, and how
// each is reached. What is done with them is the caller's.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "causes.h"
#include "dir_stack.h"
#include "kernel_calls.h"
#include "path_admission.h"

/// A path the walk met, as far as the walk could tell.
struct Entry {
    enum class Kind {
        unreachable,  ///< not examined: `err`, met `at`
        link,         ///< a symbolic link, never followed and never entered
        dir,          ///< a directory, listed before it is handed on
        other,        ///< anything else
    };
    Kind kind = Kind::other;
    Unreachable at = Unreachable::opening;
    int err = 0;                    ///< why it was unreachable
    int listing_err = 0;            ///< for a directory: why its listing stopped early, or 0
    bool listing_unopened = false;  ///< ... at its opening, before any entry was read
    int fd = -1;  ///< reaches it until the next entry: O_PATH, or for a directory whose listing
                  ///< could be opened, that read-only descriptor; none when only `looked` at
    bool looked = false;    ///< `st` was read by its name, relative to the directory that listed
                            ///< it, without following a link: enough to tell whether anything is
                            ///< to be done, never to do it (see look_closer())
    struct stat st {};      ///< its status, read through `fd`
    std::string_view path;  ///< as shown: the argument as written, then the names below it
};

/// Walks the trees of `args` depth first, last argument first. A directory comes right after its
/// listing and before its entries, which come in the reverse of the listing's order, each subtree
/// finished before the next entry. Symbolic links are handed on, never followed or entered.
///
/// What it guarantees, whatever is renamed or swapped during the run:
/// - An argument is confirmed afresh when its turn comes (see confirm()): judged again with the
///   caller's rights, opened beneath the descriptor its root has held since the start of the run
///   refusing every symbolic link, and handed on only if it is still what was admitted: the same
///   root, the same place beneath it, the same inode.
/// - Every entry below is opened by its single name, relative to a descriptor of the directory
///   that listed it, with O_NOFOLLOW: no name resolves through a link or outside the argument.
/// - When descriptors run short, a directory's descriptor may be given up (see DirStack); it is
///   taken back only if it is the very directory that was listed, and otherwise each of its
///   remaining entries is unreachable.
class TreeWalk {
  public:
    TreeWalk(const Kernel& k, const std::vector<Argument>& args, const std::vector<Root>& roots);

    /// The next path; null once every tree is walked, or once the run is interrupted (see
    /// interruption()), which is heeded between two paths, never within one.
    const Entry* next();

    /// Leaves out the entries of the directory next() handed on last.
    void skip() { skip_ = true; }

    /// Opens the entry next() handed on last, which it had only looked at, and examines it as any
    /// other: the entry that comes back may be of another kind, or unreachable, if the name was
    /// changed in between. Where looking keeps sparing nothing in a directory, as on a first
    /// run, the walk stops looking there and opens every entry at once.
    const Entry* look_closer();

  private:
    const Entry* next_in_top();
    const Entry* argument(const Argument& arg);
    const Entry* examine(UniqueFd file);
    const Entry* unreachable(Unreachable at, int err);
    void settle();

    const Kernel& kernel_;
    const std::vector<Argument>& args_;
    const std::vector<Root>& roots_;
    DirStack stack_;
    size_t args_left_;
    std::string path_;  // the text of the path in hand; every frame's is a prefix of it
    Entry entry_;
    UniqueFd file_;                // the path in hand, until the next one
    UniqueFd listing_;             // a directory's, until it is held or skipped
    std::optional<Frame> listed_;  // a directory's listing, to be held unless skipped
    bool skip_ = false;
    int lost_ = 0;                  // why the top frame could not be taken back; 0 while it can
    const char* looked_ = nullptr;  // the name of the entry only looked at, in the top frame
    bool pop_ = false;              // the top frame is done with, once that entry is
};
