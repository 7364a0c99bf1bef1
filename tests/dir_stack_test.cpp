// Tests of the held directories: the budget is kept, and a given-up directory comes back only if
// it is still the one that was listed.
#include "dir_stack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class HeldDirs : public TempDir {
  protected:
    void SetUp() override {
        TempDir::SetUp();
        fs::create_directories(t / "a/b/c/d");
        fs::create_directories(t / "elsewhere");
    }

    // Pushes the directory at `rel` (under the temporary one), listed, on `s`.
    void push(DirStack& s, const std::string& rel) {
        Frame f;
        // As the walk shows them: each text extends the one of the directory above.
        const std::string text = rel == "." ? t.string() : (t / rel).string();
        f.dir = UniqueFd(open(text.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(f.dir);
        struct stat st {};
        ASSERT_EQ(fstat(f.dir.fd, &st), 0);
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        f.text_len = text.size();
        s.push(std::move(f));
        path = text;
    }
    static size_t held(const DirStack& s) {
        size_t n = 0;
        for (size_t i = 0; i < s.size(); ++i) n += s.at(i).dir ? 1 : 0;
        return n;
    }

    std::string path;  // the text of the deepest directory pushed
    const Kernel k = probe_kernel();
};

TEST_F(HeldDirs, KeepTheBudgetAndComeBackWhenStillTheSame) {
    DirStack s(k, {3, 1});
    for (const char* rel : {".", "a", "a/b", "a/b/c", "a/b/c/d"}) {
        push(s, rel);
        EXPECT_LE(held(s), 3U) << rel;
        EXPECT_TRUE(s.at(0).dir) << rel;
    }
    s.pop();
    s.pop();
    // The top, a/b, was given up: it comes back, with one below it for the way up.
    ASSERT_FALSE(s.top().dir);
    EXPECT_EQ(s.hold_top(path), 0);
    ASSERT_TRUE(s.top().dir);
    struct stat got {
    }, want{};
    ASSERT_EQ(fstat(s.top().dir.fd, &got), 0);
    ASSERT_EQ(stat((t / "a/b").c_str(), &want), 0);
    EXPECT_EQ(got.st_ino, want.st_ino);
    EXPECT_TRUE(s.at(1).dir);
}

TEST_F(HeldDirs, NeverComeBackReplacedOrThroughALink) {
    const struct {
        const char* what;
        void (*change)(const fs::path& t);
        int err;
    } cases[] = {
        {"replaced by another directory",
         [](const fs::path& t) {
             fs::rename(t / "a/b", t / "elsewhere/b");
             fs::create_directory(t / "a/b");
         },
         ESTALE},
        {"a leading one replaced by a link to a copy",
         [](const fs::path& t) {
             fs::rename(t / "a", t / "elsewhere/a");
             fs::create_directory_symlink("elsewhere/a", t / "a");
         },
         ELOOP},
        {"gone", [](const fs::path& t) { fs::remove_all(t / "a/b"); }, ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(t / "a");
        fs::remove_all(t / "elsewhere");
        fs::create_directories(t / "a/b/c");
        fs::create_directories(t / "elsewhere");
        DirStack s(k, {2, 1});
        for (const char* rel : {".", "a", "a/b", "a/b/c"}) push(s, rel);
        s.pop();
        ASSERT_FALSE(s.top().dir);
        c.change(t);
        EXPECT_EQ(s.hold_top(path), c.err);
        EXPECT_FALSE(s.top().dir);
    }
}

TEST_F(HeldDirs, MakeRoomSparesTheDirectoryInUse) {
    DirStack s(k, {8, 1});
    for (const char* rel : {".", "a", "a/b"}) push(s, rel);
    const int in_use = s.at(1).dir.fd;
    EXPECT_TRUE(s.make_room(in_use));  // gives up a/b, not a, nor the first
    EXPECT_TRUE(s.at(0).dir);
    EXPECT_TRUE(s.at(1).dir);
    EXPECT_FALSE(s.at(2).dir);
    EXPECT_FALSE(s.make_room(in_use));
}

}  // namespace
