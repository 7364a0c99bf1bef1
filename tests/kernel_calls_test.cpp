// Tests of the kernel interfaces: run as they are and again under refuse_calls, each way must give
// the same answers.
#include "kernel_calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "dir_stack.h"
#include "resolve.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class KernelCalls : public TempDir {
  protected:
    void SetUp() override {
        TempDir::SetUp();
        fs::create_directories(t / "sub/inner");
        std::ofstream(t / "sub/file") << "x";
        fs::create_directory_symlink("sub", t / "link_in");
        fs::create_directory_symlink("/etc", t / "link_out");
        fs::create_symlink("file", t / "sub/link_file");
        fs::create_directory_symlink(".", t / "dot");
        dir = open(t.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dir, 0);
    }
    void TearDown() override {
        close(dir);
        TempDir::TearDown();
    }
    mode_t mode_of(const char* rel) const {
        struct stat st {};
        EXPECT_EQ(fstatat(dir, rel, &st, AT_SYMLINK_NOFOLLOW), 0) << rel;
        return st.st_mode & 07777;
    }

    int dir = -1;
    const Kernel k = probe_kernel();
};

TEST_F(KernelCalls, OpenBeneathRefusesEveryLinkAndEveryWayOut) {
    const struct {
        const char* path;
        int flags;
        int err;         // 0: opened
        const char* is;  // what it opened, relative to the directory
    } cases[] = {
        {"sub/file", O_PATH | O_NOFOLLOW, 0, "sub/file"},
        {"./sub//file", O_PATH | O_NOFOLLOW, 0, "sub/file"},
        {".", O_PATH | O_NOFOLLOW, 0, "."},
        {"sub/inner", O_PATH | O_DIRECTORY, 0, "sub/inner"},
        {"sub/link_file", O_PATH | O_NOFOLLOW, 0, "sub/link_file"},  // the link itself
        {"sub/link_file", O_PATH, ELOOP, nullptr},
        {"link_in", O_PATH | O_DIRECTORY, ELOOP, nullptr},
        {"link_in/file", O_PATH | O_NOFOLLOW, ELOOP, nullptr},  // a link that stays inside
        {"link_out/passwd", O_PATH | O_NOFOLLOW, ELOOP, nullptr},
        {"../x", O_PATH, EXDEV, nullptr},
        {"sub/../../x", O_PATH, EXDEV, nullptr},
        {"/etc", O_PATH, EXDEV, nullptr},
        {"missing/x", O_PATH, ENOENT, nullptr},
        {"sub/file/x", O_PATH, ENOTDIR, nullptr},
        // Forms the walk never makes, which both ways must still read as openat2 does.
        {"", O_RDONLY | O_NONBLOCK, ENOENT, nullptr},
        {"sub/", O_PATH, 0, "sub"},
        {"sub/file//", O_PATH | O_NOFOLLOW, ENOTDIR, nullptr},
        {"sub/file/.", O_PATH, ENOTDIR, nullptr},
        {"dot/.", O_PATH | O_NOFOLLOW, ELOOP, nullptr},
        {"link_out", O_PATH | O_NOFOLLOW | O_DIRECTORY, ENOTDIR, nullptr},
        {"link_in/", O_PATH | O_NOFOLLOW, ELOOP, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " with flags " + std::to_string(c.flags));
        const Result<UniqueFd> fd = open_beneath(k, dir, c.path, c.flags);
        EXPECT_EQ(fd.err, c.err) << std::strerror(fd.err);
        if (!fd || !c.is) continue;
        struct stat got {
        }, want{};
        ASSERT_EQ(fstat(fd->fd, &got), 0);
        ASSERT_EQ(fstatat(dir, c.is, &want, AT_SYMLINK_NOFOLLOW), 0);
        EXPECT_EQ(got.st_ino, want.st_ino);
        EXPECT_TRUE(fcntl(fd->fd, F_GETFD) & FD_CLOEXEC);
    }
}

TEST_F(KernelCalls, ChangeModeThroughAnyDescriptor) {
    const UniqueFd file(openat(dir, "sub/file", O_PATH | O_NOFOLLOW | O_CLOEXEC));
    const UniqueFd listed(openat(dir, "sub", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const UniqueFd inner(openat(dir, "sub/inner", O_PATH | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(change_mode(k, file.fd, 04604, false), 0);
    EXPECT_EQ(change_mode(k, listed.fd, 0711, true), 0);
    EXPECT_EQ(change_mode(k, inner.fd, 02750, true), 0);
    EXPECT_EQ(mode_of("sub/file"), 04604U);
    EXPECT_EQ(mode_of("sub"), 0711U);
    EXPECT_EQ(mode_of("sub/inner"), 02750U);
    EXPECT_TRUE(mode_change_unavailable(k, 0).yes());
}

TEST_F(KernelCalls, CloseBatchClosesEveryDescriptorItHolds) {
    std::vector<int> fds(5);
    for (int& fd : fds) fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fds[1]);  // a gap: two runs of numbers
    {
        CloseBatch batch(k, 3);
        for (int i : {0, 2, 3}) batch.add(UniqueFd(fds[i]));
        for (int i : {0, 2, 3}) EXPECT_EQ(fcntl(fds[i], F_GETFD), -1) << i;
        batch.add(UniqueFd(fds[4]));
        EXPECT_NE(fcntl(fds[4], F_GETFD), -1);
    }
    EXPECT_EQ(fcntl(fds[4], F_GETFD), -1);
}

}  // namespace
