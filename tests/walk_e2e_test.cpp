// End-to-end tests of the repair walk: modes, owners, lines, their order and the exit status.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

using Walk = E2E;

TEST_F(Walk, GrantsGroupModeAfterOwnership) {
    const struct {
        bool dir;
        bool setgid;
        mode_t before;
        mode_t after;
    } cases[] = {
        {false, false, 0600, 0640},  {false, true, 0600, 0640},
        {false, false, 0644, 0644},  {false, false, 0000, 0040},
        {false, false, 0755, 0755},  {false, false, 01777, 01777},
        {false, false, 04755, 0755},  // handing a set-user-ID file over must not keep 04000
        {false, false, 02755, 0755}, {false, true, 06711, 0751},
        {false, false, 02604, 0644},  // no group execute: the kernel keeps set-group-ID, we do not
        {false, false, 02745, 0745}, {true, true, 0755, 02775},
        {true, false, 0700, 0740},   {true, true, 0700, 02770},  // the group may enter too
        {true, true, 0000, 02070},   {true, true, 02750, 02770},
        {true, false, 0000, 0040},   {true, false, 02755, 02755},
        {true, true, 01777, 03777},  {true, false, 04700, 04740},
    };
    for (const auto& c : cases) {
        const std::string p = "/mnt/data/p";
        if (c.dir) {
            make_dir(p, c.before, alice, alice);
        } else {
            make_file(p, c.before, alice, alice);
        }
        std::vector<std::string> args = {"--uid", "1001", "--gid", "1001", p};
        if (c.setgid) args.insert(args.begin(), "--setgid");
        const RunResult r = run(root, args);
        SCOPED_TRACE(std::string(c.dir ? "dir 0" : "file 0") + std::to_string(c.before));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, updated(p) + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(meta(p), (Meta{bob, bob, c.after}));
        // As wanted now: a run again writes nothing, prints the same and leaves the ctime.
        const timespec was = changed_at(p);
        EXPECT_EQ(run(root, args).out, updated(p) + "\n");
        EXPECT_EQ(changed_at(p), was);
        fs::remove(p);
    }
}

TEST_F(Walk, SetgidTreeGivesDirectoriesGroupWriteAndFilesGroupRead) {
    make_dir("/mnt/data/t", 0755, bob, bob);
    make_dir("/mnt/data/t/sub", 0700, bob, bob);
    make_file("/mnt/data/t/sub/f", 0600, bob, bob);
    make_file("/mnt/data/t/g", 0604, bob, bob);
    // The caller's own already: one needs only the mode, the other still loses its bit.
    make_file("/mnt/data/t/mine", 0600, alice, alice);
    make_file("/mnt/data/t/suid", 04755, alice, alice);
    const RunResult r = run(user, {"--setgid", "/mnt/data/t"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(meta("/mnt/data/t"), (Meta{alice, alice, 02775}));
    EXPECT_EQ(meta("/mnt/data/t/sub"), (Meta{alice, alice, 02770}));
    EXPECT_EQ(meta("/mnt/data/t/sub/f"), (Meta{alice, alice, 0640}));
    EXPECT_EQ(meta("/mnt/data/t/g"), (Meta{alice, alice, 0644}));
    EXPECT_EQ(meta("/mnt/data/t/mine"), (Meta{alice, alice, 0640}));
    EXPECT_EQ(meta("/mnt/data/t/suid"), (Meta{alice, alice, 0755}));
    // Handed over again, all as wanted: nothing is written, and the report is the same.
    const std::vector<std::string> all = {"/mnt/data/t",   "/mnt/data/t/sub",  "/mnt/data/t/sub/f",
                                          "/mnt/data/t/g", "/mnt/data/t/mine", "/mnt/data/t/suid"};
    std::vector<timespec> was(all.size());
    for (size_t i = 0; i < all.size(); ++i) was[i] = changed_at(all[i]);
    const RunResult again = run(user, {"--setgid", "/mnt/data/t"});
    EXPECT_EQ(again.out, r.out);
    EXPECT_EQ(again.err, "");
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(changed_at(all[i]), was[i]) << all[i];
}

TEST_F(Walk, SpecialFilesAreRepairedLikeRegularOnes) {
    make_dir("/mnt/data/t", 0755, bob, bob);
    ASSERT_EQ(mkfifo("/mnt/data/t/fifo", 0600), 0);
    ASSERT_EQ(mknod("/mnt/data/t/null", S_IFCHR | 0600, makedev(1, 3)), 0);
    ASSERT_EQ(mknod("/mnt/data/t/blk", S_IFBLK | 0600, makedev(7, 0)), 0);
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/mnt/data/t/sock");
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(s);
    ASSERT_EQ(chmod("/mnt/data/t/sock", 0600), 0);
    const RunResult r = run(user, {"--setgid", "/mnt/data/t"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines(r.out).size(), 5U);
    for (const char* p : {"fifo", "null", "blk", "sock"}) {
        EXPECT_EQ(meta(std::string("/mnt/data/t/") + p), (Meta{alice, alice, 0640})) << p;
    }
}

TEST_F(Walk, LinesFollowTheVisitOrder) {
    make_dir("/mnt/data/t", 0755, bob, bob);
    for (const char* d : {"/mnt/data/t/d1", "/mnt/data/t/d2", "/mnt/data/t/d1/e"}) {
        make_dir(d, 0700, bob, bob);
    }
    for (const char* f : {"/mnt/data/t/f1", "/mnt/data/t/f2", "/mnt/data/t/d1/x",
                          "/mnt/data/t/d1/y", "/mnt/data/t/d1/e/z", "/mnt/data/t/d2/w"}) {
        make_file(f, 0600, bob, bob);
    }
    make_link("/mnt/outside", "/mnt/data/t/d1/out");
    // Names as real trees have them: dot-files, dot-directories, and names made of dots.
    for (const char* d : {"/mnt/data/t/.git", "/mnt/data/t/..."}) make_dir(d, 0700, bob, bob);
    for (const char* f :
         {"/mnt/data/t/.profile", "/mnt/data/t/.git/.x", "/mnt/data/t/..a", "/mnt/data/t/.../.b"}) {
        make_file(f, 0600, bob, bob);
    }
    make_file("/mnt/data/a", 0600, bob, bob);
    make_file("/mnt/data/b", 0600, bob, bob);
    for (const char* d : {"/mnt/data/p", "/mnt/data/q"}) make_dir(d, 0755, bob, bob);
    for (const char* f : {"/mnt/data/p/x", "/mnt/data/q/y"}) make_file(f, 0600, bob, bob);

    std::vector<std::string> want;
    // Two entries of directories whose names are as long: each keeps its own.
    expected_walk("/mnt/data/q/y", want);
    expected_walk("/mnt/data/p/x", want);
    expected_walk("/mnt/data/t/...", want);
    expected_walk("/mnt/data/b", want);
    expected_walk("/mnt/data/t", want);
    expected_walk("/mnt/data/a", want);
    const RunResult r = run(user,
                            {"/mnt/data/a", "/mnt/data/t", "/mnt/data/b", "/mnt/data/t/...",
                             "/mnt/data/p/x", "/mnt/data/q/y"},
                            {"/", true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines_of(want));
}

TEST_F(Walk, SymlinksAreReportedNeverChangedOrFollowed) {
    make_dir("/mnt/outside/target", 0700);
    make_file("/mnt/outside/target/secret", 0600);
    make_file("/mnt/outside/file", 0600);
    make_dir("/mnt/data/t", 0755, bob, bob);
    make_link("/mnt/outside/target", "/mnt/data/t/dirlink", bob, bob);
    make_link("/mnt/outside/file", "/mnt/data/t/filelink", bob, bob);
    make_link("nowhere", "/mnt/data/t/dangling", bob, bob);
    make_link("/mnt/outside/file", "/mnt/data/t/mine", alice, alice);  // all as he would want
    const RunResult r = run(user, {"/mnt/data/t"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, updated("/mnt/data/t") + "\n");
    std::vector<std::string> err = lines(r.err);
    std::sort(err.begin(), err.end());
    EXPECT_EQ(err, (std::vector<std::string>{
                       "\"/mnt/data/t/dangling\" is a symlink, not modifying permission",
                       "\"/mnt/data/t/dirlink\" is a symlink, not modifying permission",
                       "\"/mnt/data/t/filelink\" is a symlink, not modifying permission",
                       "\"/mnt/data/t/mine\" is a symlink, not modifying permission"}));
    for (const char* l : {"/mnt/data/t/dirlink", "/mnt/data/t/filelink", "/mnt/data/t/dangling"}) {
        EXPECT_EQ(meta(l), (Meta{bob, bob, 0777})) << l;
    }
    EXPECT_EQ(meta("/mnt/outside/target"), (Meta{0, 0, 0700}));
    EXPECT_EQ(meta("/mnt/outside/target/secret"), (Meta{0, 0, 0600}));
    EXPECT_EQ(meta("/mnt/outside/file"), (Meta{0, 0, 0600}));
}

TEST_F(Walk, FailuresAreCountedAndReported) {
    make_file("/mnt/data/ok", 0600, bob, bob);
    const RunResult one = run(user, {"/mnt/data/missing"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.out, "");
    EXPECT_EQ(
        one.err,
        "Failed to update ownership of\"/mnt/data/missing\": (2) No such file or directory\n");

    const RunResult two = run(user, {"/mnt/data/gone", "/mnt/data/ok", "/mnt/data/ok/x"});
    EXPECT_EQ(two.status, 2);
    EXPECT_EQ(two.out, updated("/mnt/data/ok") + "\n");
    EXPECT_EQ(two.err,
              "Failed to update ownership of\"/mnt/data/ok/x\": (20) Not a directory\n"
              "Failed to update ownership of\"/mnt/data/gone\": (2) No such file or directory\n");
}

// Sets the immutable attribute on `path`; false where the file system cannot hold it. The
// numbers are the kernel's: <linux/fs.h> clashes with <sys/mount.h> before glibc 2.36.
bool make_immutable(const std::string& path) {
    const unsigned long get_flags = _IOR('f', 1, long), set_flags = _IOW('f', 2, long);
    const int immutable = 0x10;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool set = fd >= 0 && ioctl(fd, get_flags, &flags) == 0 &&
                     (flags |= immutable, ioctl(fd, set_flags, &flags) == 0);
    if (fd >= 0) close(fd);
    return set;
}

TEST_F(Walk, DirectoryNotTakenIsEnteredOnlyWhereTheCallerCouldListIt) {
    make_dir("/mnt/data/t", 0700, bob, bob);
    make_file("/mnt/data/t/f", 0600, bob, bob);
    // Root's, seen read-only under the root: an archive the caller may not list himself, and a
    // public tree, readable by everyone, whose contents are no secret.
    make_dir("/mnt/outside/archive", 0700);
    make_dir("/mnt/outside/archive/secret-dir", 0700);
    make_file("/mnt/outside/archive/secret-dir/secret-name", 0600);
    make_dir("/mnt/outside/public", 0755);
    make_file("/mnt/outside/public/notes", 0644);
    for (const std::string name : {"archive", "public"}) {
        const std::string at = "/mnt/data/" + name;
        make_dir(at, 0755);
        ASSERT_EQ(mount(("/mnt/outside/" + name).c_str(), at.c_str(), nullptr, MS_BIND, nullptr),
                  0);
        ASSERT_EQ(mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                  0);
    }
    make_dir("/mnt/data/imm", 0700, bob, bob);
    make_file("/mnt/data/imm/inside", 0600, bob, bob);
    const bool immutable = make_immutable("/mnt/data/imm");
    make_dir("/mnt/data/other", 0755, bob, bob);
    make_file("/mnt/data/other/mine", 0600, alice, alice);
    make_file("/mnt/data/other/theirs", 0600, bob, bob);
    const Caller weak{alice, alice, {"--bounding-set=-chown,-fowner"}};
    const std::vector<std::string> as_root = {"--uid", "1000", "--gid", "1000"};
    const auto failed = [](const std::string& path, const std::string& why) {
        return "Failed to update ownership of\"" + path + "\": " + why + "\n";
    };
    const std::string rofs = "(30) Read-only file system", eperm = "(1) Operation not permitted";
    // Without the set-user-ID bit, as chown -R by the caller would: his own file is his to change.
    std::string other = failed("/mnt/data/other", eperm);
    std::vector<std::string> names = listing("/mnt/data/other");
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const std::string path = "/mnt/data/other/" + *it;
        other += *it == "mine" ? updated(path) + "\n" : failed(path, eperm);
    }
    const struct {
        const char* what;
        Caller caller;
        std::vector<std::string> args;
        std::string out;  // both streams
        int status;
        bool needs_immutable = false;
        bool plain = false;
    } rows[] = {
        {"without the privilege", weak, {"/mnt/data/t"}, failed("/mnt/data/t", eperm), 1},
        {"read-only, a member", user, {"/mnt/data/archive"}, failed("/mnt/data/archive", rofs), 1},
        {"read-only and readable, a member",
         user,
         {"/mnt/data/public"},
         failed("/mnt/data/public", rofs) + failed("/mnt/data/public/notes", rofs),
         2},
        {"the plain binary, another's readable directory",
         user,
         {"/mnt/data/other"},
         other,
         2,
         false,
         true},
        {"read-only, root",
         root,
         {"/mnt/data/archive"},
         failed("/mnt/data/archive", rofs) + failed("/mnt/data/archive/secret-dir", rofs) +
             failed("/mnt/data/archive/secret-dir/secret-name", rofs),
         3},
        {"immutable, a member", user, {"/mnt/data/imm"}, failed("/mnt/data/imm", eperm), 1, true},
        {"immutable, root",
         root,
         {"/mnt/data/imm"},
         failed("/mnt/data/imm", eperm) + updated("/mnt/data/imm/inside") + "\n",
         1,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.needs_immutable && !immutable) {
            std::cout << "[  NOTE    ] " << row.what
                      << ": tmpfs holds no immutable attribute here\n";
            continue;
        }
        std::vector<std::string> args = row.caller.uid == 0 ? as_root : std::vector<std::string>{};
        args.insert(args.end(), row.args.begin(), row.args.end());
        RunOptions opt;
        opt.merged = true;
        opt.plain = row.plain;
        const RunResult r = run(row.caller, args, opt);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(meta("/mnt/data/t"), (Meta{bob, bob, 0700}));
        EXPECT_EQ(meta("/mnt/data/t/f"), (Meta{bob, bob, 0600}));
        EXPECT_EQ(meta("/mnt/outside/archive/secret-dir/secret-name"), (Meta{0, 0, 0600}));
    }
    const Meta inside = immutable ? Meta{alice, alice, 0640} : Meta{bob, bob, 0600};
    EXPECT_EQ(meta("/mnt/data/imm/inside"), inside);
    EXPECT_EQ(meta("/mnt/data/other/mine"), (Meta{alice, alice, 0640}));
    EXPECT_EQ(meta("/mnt/data/other/theirs"), (Meta{bob, bob, 0600}));
    ASSERT_EQ(umount("/mnt/data/archive"), 0);
    ASSERT_EQ(umount("/mnt/data/public"), 0);
}

TEST_F(Walk, UnlistableDirectoryIsStillRepaired) {
    make_dir("/mnt/data/t", 0755, bob, bob);
    make_dir("/mnt/data/t/locked", 0000, bob, bob);
    make_file("/mnt/data/t/locked/inside", 0600, bob, bob);
    const RunResult r =
        run(blind, {"--uid", "1000", "--gid", "1000", "/mnt/data/t/locked"}, {"/", true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Warning: Failed to iterate \"/mnt/data/t/locked\": filesystem error: directory "
              "iterator cannot open directory: Permission denied [/mnt/data/t/locked] (will still "
              "try to fix directory permissions)\n" +
                  updated("/mnt/data/t/locked") + "\n");
    EXPECT_EQ(meta("/mnt/data/t/locked"), (Meta{alice, alice, 0040}));
    EXPECT_EQ(meta("/mnt/data/t/locked/inside"), (Meta{bob, bob, 0600}));
}

TEST_F(Walk, LinkToDirectoryWithTrailingSeparatorIsWalkedAsTheDirectory) {
    make_dir("/mnt/data/real", 0700, bob, bob);
    make_file("/mnt/data/real/f", 0600, bob, bob);
    make_link("/mnt/data/real", "/mnt/data/link", bob, bob);
    const RunResult r = run(user, {"/mnt/data/link/"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, updated("/mnt/data/link/") + "\n" + updated("/mnt/data/link/f") + "\n");
    EXPECT_EQ(meta("/mnt/data/real"), (Meta{alice, alice, 0740}));
    EXPECT_EQ(meta("/mnt/data/real/f"), (Meta{alice, alice, 0640}));
    EXPECT_EQ(meta("/mnt/data/link"), (Meta{bob, bob, 0777}));
}

TEST_F(Walk, NothingIsDeduplicated) {
    // Searchable by the caller: he may name what lies inside.
    make_dir("/mnt/data/t", 0755, bob, bob);
    make_file("/mnt/data/t/f", 0600, bob, bob);
    const RunResult r = run(user, {"/mnt/data/t/f", "/mnt/data/t", "/mnt/data/t/f",
                                   "/mnt/data/nope", "/mnt/data/nope"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, lines_of({updated("/mnt/data/t/f"), updated("/mnt/data/t"),
                               updated("/mnt/data/t/f"), updated("/mnt/data/t/f")}));
}

TEST_F(Walk, OtherFileSystemsAreCrossed) {
    make_dir("/mnt/data/t", 0755, bob, bob);
    make_dir("/mnt/data/t/m", 0755);
    ASSERT_EQ(mount("tmpfs", "/mnt/data/t/m", "tmpfs", 0, "mode=0700"), 0);
    make_file("/mnt/data/t/m/f", 0600, bob, bob);
    const RunResult r = run(user, {"/mnt/data/t"});
    const Meta dir = meta("/mnt/data/t/m"), file = meta("/mnt/data/t/m/f");
    ASSERT_EQ(umount("/mnt/data/t/m"), 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir, (Meta{alice, alice, 0740}));
    EXPECT_EQ(file, (Meta{alice, alice, 0640}));
}

TEST_F(Walk, PathsTooLongFailAtTheStatusRead) {
    make_dir("/mnt/data/long", 0700);
    const std::string name(250, 'n');
    make_chain("/mnt/data/long", name, 16, {"f"});
    std::string p = "/mnt/data/long";
    for (int i = 0; i < 16; ++i) p += "/" + name;
    ASSERT_EQ(p.size(), 4030U);
    // At the limit and one past it, and one past it as the only, so last, entry of a directory.
    const std::string fits = p + "/" + std::string(64, 'o'), over = p + "/" + std::string(65, 'x');
    const std::string alone = p + "/e/" + std::string(64, 'x');
    ASSERT_EQ(fits.size(), size_t{PATH_MAX} - 1);
    const int dir = open(p.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    ASSERT_EQ(mkdirat(dir, "e", 0700), 0);
    for (const std::string& f : {fits, over, alone}) {
        const int fd =
            openat(dir, f.substr(p.size() + 1).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    close(dir);
    const RunResult r = run(user, {"/mnt/data/long"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines(r.out).size(), 1U + 16 + 16 + 2);
    std::vector<std::string> err = lines(r.err);
    std::sort(err.begin(), err.end());
    std::vector<std::string> want;
    for (const std::string& f : {alone, over}) {
        std::string line = "Failed to get status of \"" + f;
        line += "\": filesystem error: symlink_status: File name too long [" + f;
        want.push_back(line + "]");
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(err, want);
    EXPECT_EQ(meta(fits), (Meta{alice, alice, 0640}));
    EXPECT_EQ(meta(p + "/e"), (Meta{alice, alice, 0740}));
}

TEST_F(Walk, DeepTreeUnderLowDescriptorLimitIsWalkedWhole) {
    make_dir("/mnt/data/deep", 0700, bob, bob);
    const int levels = 1100;
    make_chain("/mnt/data/deep", "d", levels, {"a", "z"});
    std::string deepest = "/mnt/data/deep";
    for (int i = 0; i < levels; ++i) deepest += "/d";
    // Few descriptors, and then most of them already taken by the caller's: the tool runs out for
    // real and must give up directories rather than entries.
    for (const auto& [nofile, inherited] : {std::pair{32, 0}, {256, 245}}) {
        SCOPED_TRACE(std::to_string(inherited) + " of " + std::to_string(nofile) + " inherited");
        RunOptions opt;
        opt.nofile = nofile;
        opt.inherited = inherited;
        const RunResult r = run(inherited ? Caller{bob, bob, {}} : user, {"/mnt/data/deep"}, opt);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> out = lines(r.out);
        EXPECT_EQ(out.size(), 1U + levels * 3);
        std::sort(out.begin(), out.end());
        EXPECT_EQ(std::adjacent_find(out.begin(), out.end()), out.end());
        const uid_t who = inherited ? bob : alice;
        EXPECT_EQ(meta(deepest), (Meta{who, who, 0740}));
        EXPECT_EQ(meta(deepest.substr(0, deepest.size() - 2) + "/a"), (Meta{who, who, 0640}));
    }
}

}  // namespace
