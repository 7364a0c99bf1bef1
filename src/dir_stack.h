// Owns the descriptors the walk holds: each listed directory kept open while descriptors last, the
// shallowest given up when they run short and reopened only if it is still the directory that was
// listed, and the handled files' closed in batches.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel_calls.h"
#include "result.h"
#include "unique_fd.h"

/// Owns descriptors of files already handled and closes them `max` at a time: on a tree of a
/// million files, closing each one on its own would cost as much as changing its owner. Holds no
/// descriptor it was not given.
/// Way 1: one close_range(2) for each run of consecutive numbers. Way 2: close(2) each one.
class CloseBatch {
  public:
    CloseBatch(const Kernel& k, size_t max);
    CloseBatch(const CloseBatch&) = delete;
    CloseBatch& operator=(const CloseBatch&) = delete;
    ~CloseBatch() { flush(); }

    /// Takes `fd`; closes the whole batch once it holds `max`.
    void add(UniqueFd fd);
    /// Closes every descriptor held; returns whether there was any.
    bool flush();

  private:
    const Kernel& kernel_;
    std::vector<int> fds_;
    size_t max_;
};

/// A listed directory whose entries are still being handled.
struct Frame {
    UniqueFd dir;         ///< where its entries are opened; none while given up
    size_t text_len = 0;  ///< its full text is the walk's path up to here
    dev_t dev = 0;        ///< the inode that was listed
    ino_t ino = 0;
    std::string identity;  ///< what told it from another with its inode number when it was given
                           ///< up (see identity())
    std::string names;     ///< the listing, each name ended by a NUL
    std::vector<uint32_t> starts;  ///< where each name begins, in listing order
    size_t next = 0;               ///< entries [0, next) are still to be handled
    int needed = 0;  ///< entries in a row whose status, read by name, did not spare opening them

    const char* name(size_t i) const { return names.c_str() + starts[i]; }
};

/// Reads the whole listing of `fd` into `f`, in the platform's order, without "." and "..".
/// Returns 0 or the error that stopped it, ENOMEM or EOVERFLOW for a listing too large to hold,
/// keeping what was read before.
int read_listing(int fd, Frame& f);

/// How many descriptors the walk may spend on held directories and on handled files waiting to
/// be closed.
struct Budget {
    size_t dirs;
    size_t batch;
};

/// Raises the soft open-file limit to the hard one, if it can: done first of all, so that every
/// descriptor of the run, the probes' among them, has all the room the caller's limit allows.
void raise_open_file_limit();

/// Plans the budget from the open-file limit, keeping room for the standard streams, the roots
/// and the descriptors the caller left open.
Budget plan_descriptors();

/// The listed directories of the walk, deepest last, each inside the one before it. At most
/// `budget.dirs` of them hold a descriptor at a time, and the first always does: when another is
/// needed, the shallowest held one above the first is given up. A given-up directory is reopened
/// beneath the nearest held one below it by the names that lead there, refusing every symbolic
/// link (see open_beneath()), and used only if it is the very directory that was listed: the same
/// inode, and the same identity() as when it was given up, so that a new directory that took its
/// inode number is not taken for it. Where nothing told it apart, it does not come back.
class DirStack {
  public:
    DirStack(const Kernel& k, Budget budget);

    bool empty() const { return frames_.empty(); }
    size_t size() const { return frames_.size(); }
    Frame& top() { return frames_.back(); }
    const Frame& at(size_t i) const { return frames_[i]; }

    /// Holds `f`, which holds its descriptor, on top.
    void push(Frame f);
    void pop() { frames_.pop_back(); }

    /// Gives the top directory its descriptor back if it was given up, and with it up to half the
    /// budget of those just below, kept for the walk back up, so that a walk deeper than the
    /// budget reopens from far below only once per half budget. `path` extends the text of every
    /// frame (see Frame::text_len). Returns 0 or the error: ESTALE when one is not, or cannot be
    /// told to be, the directory that was listed.
    int hold_top(const std::string& path);

    /// Opens `name` in `dirfd` with `flags` (O_CLOEXEC added), making room (see make_room()) and
    /// trying again while descriptors run short.
    Result<UniqueFd> open_at(int dirfd, const char* name, int flags);

    /// Runs `open` until it succeeds, fails for another reason than a lack of descriptors, or no
    /// room can be made beside `keep_fd` (see make_room()).
    template <class Open>
    Result<UniqueFd> with_room(int keep_fd, Open open) {
        for (;;) {
            Result<UniqueFd> fd = open();
            if (fd || (fd.err != EMFILE && fd.err != ENFILE) || !make_room(keep_fd)) return fd;
        }
    }

    /// Takes the descriptor of a handled file, to be closed with others.
    void done(UniqueFd fd) { closed_.add(std::move(fd)); }

    /// Makes room for one descriptor: closes the handled files' or gives up a held directory
    /// other than the one holding `keep_fd`. False when there is nothing left to give up.
    bool make_room(int keep_fd);

  private:
    size_t held() const;
    bool give_up(int keep_fd);

    const Kernel& kernel_;
    Budget budget_;
    std::vector<Frame> frames_;
    CloseBatch closed_;
};
