// The walk's descriptors: the budget, giving directories up and taking them back, the close batch.
#include "dir_stack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "resolve.h"

CloseBatch::CloseBatch(const Kernel& k, size_t max) : kernel_(k), max_(max) {
    fds_.reserve(max);
}

void CloseBatch::add(UniqueFd fd) {
    fds_.push_back(fd.fd);  // owned by `fd` until the push has succeeded
    fd.release();
    if (fds_.size() >= max_) flush();
}

bool CloseBatch::flush() {
    if (fds_.empty()) return false;
    std::sort(fds_.begin(), fds_.end());
    for (size_t i = 0, j; i < fds_.size(); i = j) {
        for (j = i + 1; j < fds_.size() && fds_[j] == fds_[j - 1] + 1;) ++j;
        // A failing call is not trusted to have closed them all.
        const auto first = static_cast<unsigned>(fds_[i]),
                   last = static_cast<unsigned>(fds_[j - 1]);
        if (kernel_.close_range && close_range_call(first, last)) continue;
        for (size_t n = i; n < j; ++n) close(fds_[n]);
    }
    fds_.clear();
    return true;
}

int read_listing(int fd, Frame& f) {
    alignas(dirent64) char buf[64 * 1024];
    for (;;) {
        const Result<size_t> n = read_dirents(fd, buf, sizeof buf);
        if (n.err == EINTR) continue;
        if (!n) return n.err;
        if (*n == 0) return 0;
        for (size_t off = 0; off < *n;) {
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

void raise_open_file_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        static_cast<void>(setrlimit(RLIMIT_NOFILE, &lim));
    }
}

Budget plan_descriptors() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) lim.rlim_cur = 0;
    const rlim_t limit = lim.rlim_cur > 0 ? lim.rlim_cur : 32;
    const rlim_t batch = std::clamp<rlim_t>(limit / 64, 1, 64);
    const rlim_t reserve = 3 + batch + (limit >= 64 ? 16 : limit / 4);
    return {limit > reserve + 2 ? static_cast<size_t>(limit - reserve) : 2,
            static_cast<size_t>(batch)};
}

DirStack::DirStack(const Kernel& k, Budget budget)
    : kernel_(k), budget_(budget), closed_(k, budget.batch) {}

size_t DirStack::held() const {
    return static_cast<size_t>(
        std::count_if(frames_.begin(), frames_.end(), [](const Frame& f) { return bool(f.dir); }));
}

bool DirStack::give_up(int keep_fd) {
    for (size_t i = 1; i < frames_.size(); ++i) {
        if (frames_[i].dir && frames_[i].dir.fd != keep_fd) {
            frames_[i].identity = identity(frames_[i].dir.fd);
            frames_[i].dir.reset();
            return true;
        }
    }
    return false;
}

bool DirStack::make_room(int keep_fd) {
    return closed_.flush() || give_up(keep_fd);
}

void DirStack::push(Frame f) {
    if (held() >= budget_.dirs) give_up(-1);
    frames_.push_back(std::move(f));
}

Result<UniqueFd> DirStack::open_at(int dirfd, const char* name, int flags) {
    return with_room(dirfd, [&] { return opened(openat(dirfd, name, flags | O_CLOEXEC)); });
}

int DirStack::hold_top(const std::string& path) {
    const size_t k = frames_.size() - 1;
    if (frames_[k].dir) return 0;
    size_t below = k;
    do --below;
    while (!frames_[below].dir);
    for (size_t i = k - std::min(k - below - 1, budget_.dirs / 2); i <= k; below = i++) {
        // Frame i's text extends the other's by the names that lead from one to the other.
        const size_t from = frames_[below].text_len;
        std::string rel = path.substr(from, frames_[i].text_len - from);
        if (rel.front() == '/') rel.erase(0, 1);
        const int at = frames_[below].dir.fd;
        Result<UniqueFd> fd = with_room(
            at, [&] { return open_beneath(kernel_, at, rel.c_str(), O_PATH | O_DIRECTORY); });
        if (!fd) return fd.err;
        struct stat st;
        if (fstat(fd->fd, &st) != 0) return errno;
        if (st.st_dev != frames_[i].dev || st.st_ino != frames_[i].ino) return ESTALE;
        // A new directory may have taken the inode number of the one that was listed.
        if (frames_[i].identity.empty() || identity(fd->fd) != frames_[i].identity) return ESTALE;
        if (held() >= budget_.dirs) give_up(-1);
        frames_[i].dir = std::move(*fd);
    }
    return 0;
}
