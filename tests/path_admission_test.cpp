// Tests of path admission against roots in a temporary tree.
#include "path_admission.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

class Admission : public TempDir {
  protected:
    void SetUp() override {
        TempDir::SetUp();
        fs::create_directories(t / "data/sub/deeper");
        fs::create_directories(t / "database");
        fs::create_directories(t / "target/inner");
        fs::create_directories(t / "elsewhere");
        std::ofstream(t / "data/file") << "x";
        fs::create_directory_symlink(t / "data/sub", t / "data/link_in");
        fs::create_directory_symlink("/etc", t / "data/link_out");
        fs::create_directory_symlink(t / "data/sub", t / "elsewhere/into");
        fs::create_directory_symlink(t / "target", t / "rootlink");
        roots = open_roots({t / "data", t / "rootlink", t / "missing"});
        for (const Root& r : roots) {
            ASSERT_TRUE(r.set_aside.sound()) << "the temporary directory must be reached through "
                                                "directories of root's: set TMPDIR to one";
        }
    }
    void TearDown() override {
        fs::current_path(saved_cwd);
        fs::permissions(t / "data/sub", fs::perms(0755));
        TempDir::TearDown();
    }

    std::vector<Root> roots;
    fs::path saved_cwd = fs::current_path();
};

TEST_F(Admission, JudgesAbsolutePaths) {
    const struct {
        std::string rel;  // appended to the temporary tree
        bool admitted;
        std::string beneath;  // below the matching root, when admitted
    } cases[] = {
        {"/data", true, "."},                        // a root itself
        {"/data/", true, "."},                       //
        {"/database", false, ""},                    // a sibling that only shares a prefix
        {"", false, ""},                             // shorter than the root
        {"/data/sub", true, "sub"},                  //
        {"/data/sub/", true, "sub"},                 // trailing separator on a real directory
        {"/data/x", true, "x"},                      // missing tail
        {"/data/nope/deeper/../y", true, "nope/y"},  // missing tail, normalised lexically
        {"/data/file/x", true, "file/x"},            // a leading file counts as missing, not error
        {"/data/../../etc", false, ""},              // escapes before the comparison
        {"/data/sub/../../database", false, ""},     //
        {"/data/link_in", false, ""},                // final symlink, even pointing inside
        {"/data/link_in/", true, "sub"},             // trailing separator: the directory it names
        {"/data/link_in/deeper", true, "sub/deeper"},    // leading link pointing inside
        {"/data/link_out/", false, ""},                  //
        {"/data/link_out/passwd", false, ""},            // leading link pointing out
        {"/elsewhere/into/deeper", true, "sub/deeper"},  // a link elsewhere pointing in
        {"/elsewhere/into", false, ""},                  // final symlink
        {"/target/inner", true, "inner"},    // under a root that is a symlink: by target
        {"/rootlink/inner", true, "inner"},  // and through the link's own name
        {"/rootlink", false, ""},            // the root's own link is still a link
        {"/missing/x", true, "x"},           // a root that does not exist yet
    };
    for (const auto& c : cases) {
        const fs::path p = t.string() + c.rel;
        const auto got = admit(p, roots);
        EXPECT_EQ(static_cast<bool>(got), c.admitted) << p;
        if (got && c.admitted) {
            EXPECT_EQ(got->beneath, fs::path(c.beneath)) << p;
        }
    }
}

TEST_F(Admission, TellsWhatTheNameShowed) {
    struct stat sub {};
    ASSERT_EQ(stat((t / "data/sub").c_str(), &sub), 0);
    const auto found = admit(t / "data/link_in/", roots);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->missing, 0);
    EXPECT_EQ(found->dev, sub.st_dev);
    EXPECT_EQ(found->ino, sub.st_ino);
    EXPECT_EQ(admit(t / "data/x", roots)->missing, ENOENT);
    EXPECT_EQ(admit(t / "data/file/x", roots)->missing, ENOTDIR);
}

TEST_F(Admission, JudgesRelativeAndEmptyPaths) {
    fs::current_path(t / "data");
    EXPECT_TRUE(admit("sub", roots));
    EXPECT_TRUE(admit("./sub/../file", roots));
    EXPECT_TRUE(admit(".", roots));
    EXPECT_FALSE(admit("nonexistent/x", roots));  // stays relative, matches no root
    EXPECT_FALSE(admit("..", roots));
    EXPECT_FALSE(admit("link_in", roots));
    EXPECT_FALSE(admit("", roots));
    fs::current_path(t / "database");
    EXPECT_FALSE(admit("x", roots));
}

TEST_F(Admission, RefusesWhatCannotBeSearched) {
    fs::permissions(t / "data/sub", fs::perms::none);
    const fs::path p = t / "data/sub/deeper";
    int admitted = 0;
    if (geteuid() == 0) {
        // Root searches everything: judge as an ordinary user.
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
                _exit(2);
            _exit(admit(p, roots) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        admitted = WEXITSTATUS(status);
    } else {
        admitted = admit(p, roots) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 0);
}

TEST(AllowedPaths, AreTheFourRootsInOrder) {
    const std::vector<fs::path> want = {"/mnt/data", "/var/run/brelmont/mqx47", "/run/lock",
                                        "/wyr_data"};
    EXPECT_EQ(allowed_paths, want);
    EXPECT_FALSE(allowed("/etc"));
    EXPECT_FALSE(allowed("/mnt"));
    EXPECT_FALSE(allowed("/mnt/database"));
}

}  // namespace
