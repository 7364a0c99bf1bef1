// End-to-end tests with an attacker: nothing outside the admitted tree may ever change.
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <optional>

#include "e2e_harness.h"
#include "report.h"

namespace {

const Caller attacker{mallory, mallory, {}};

// Swaps pairs of names in a loop as the attacker until it goes out of scope.
class Swapper {
  public:
    explicit Swapper(const std::vector<std::pair<std::string, std::string>>& pairs) {
        pid_ = fork();
        if (pid_ == 0) {
            if (setgroups(0, nullptr) != 0 || setresgid(mallory, mallory, mallory) != 0 ||
                setresuid(mallory, mallory, mallory) != 0) {
                _exit(1);
            }
            for (;;) {
                for (const auto& [a, b] : pairs) {
                    renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
                }
            }
        }
    }
    ~Swapper() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Swapper(const Swapper&) = delete;
    Swapper& operator=(const Swapper&) = delete;

  private:
    pid_t pid_;
};

// Root-owned files outside every root, and what they must stay.
std::map<std::string, Meta> make_sentinels() {
    make_dir("/mnt/outside/sentinel", 0700);
    make_dir("/mnt/outside/sentinel/sub", 0700);
    make_file("/mnt/outside/sentinel/secret", 0600);
    make_file("/mnt/outside/sentinel/sub/secret", 0600);
    make_file("/mnt/outside/secret", 0600);
    std::map<std::string, Meta> want;
    for (const char* p : {"/mnt/outside", "/mnt/outside/sentinel", "/mnt/outside/sentinel/sub",
                          "/mnt/outside/sentinel/secret", "/mnt/outside/sentinel/sub/secret",
                          "/mnt/outside/secret"}) {
        want[p] = meta(p);
    }
    return want;
}

void expect_untouched(const std::map<std::string, Meta>& want) {
    for (const auto& [path, m] : want) EXPECT_EQ(meta(path), m) << path;
}

// Runs the tool as the attacker some hundreds of times, for a few seconds at most.
int hammer(const std::vector<std::string>& args) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    int runs = 0;
    while (runs < 300 && std::chrono::steady_clock::now() < until) {
        const Result r = run(attacker, args);
        EXPECT_LT(r.status, 128) << r.err;
        ++runs;
    }
    return runs;
}

using Hostile = E2E;

TEST_F(Hostile, DirectorySwappedWithLinkOut) {
    const auto sentinels = make_sentinels();
    make_dir("/mnt/data/m", 0755, mallory, mallory);
    make_dir("/mnt/data/m/d", 0700, mallory, mallory);
    for (const char* f : {"/mnt/data/m/d/1", "/mnt/data/m/d/2", "/mnt/data/m/d/3"}) {
        make_file(f, 0600, mallory, mallory);
    }
    make_dir("/mnt/data/m/d/sub", 0700, mallory, mallory);
    make_link("/mnt/outside/sentinel", "/mnt/data/m/s", mallory, mallory);
    {
        Swapper swap({std::pair<std::string, std::string>{"/mnt/data/m/d", "/mnt/data/m/s"}});
        EXPECT_GT(hammer({"--setgid", "/mnt/data/m"}), 0);
    }
    expect_untouched(sentinels);
}

TEST_F(Hostile, FileSwappedWithLinkOut) {
    const auto sentinels = make_sentinels();
    make_dir("/mnt/data/m", 0755, mallory, mallory);
    // Many pairs, so that each run gives many chances.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 4; ++i) {
        pairs.emplace_back("/mnt/data/m/f" + std::to_string(i),
                           "/mnt/data/m/s" + std::to_string(i));
        make_file(pairs.back().first, 0600, mallory, mallory);
        make_link("/mnt/outside/secret", pairs.back().second, mallory, mallory);
    }
    {
        Swapper swap(pairs);
        EXPECT_GT(hammer({"/mnt/data/m"}), 0);
    }
    expect_untouched(sentinels);
}

TEST_F(Hostile, LeadingDirectorySwappedAfterAdmission) {
    const auto sentinels = make_sentinels();
    make_dir("/mnt/data/m", 0755, mallory, mallory);
    make_dir("/mnt/data/m/lead", 0755, mallory, mallory);
    make_dir("/mnt/data/m/lead/sentinel", 0700, mallory, mallory);
    make_file("/mnt/data/m/lead/sentinel/secret", 0600, mallory, mallory);
    make_link("/mnt/outside", "/mnt/data/m/alt", mallory, mallory);
    {
        Swapper swap({std::pair<std::string, std::string>{"/mnt/data/m/lead", "/mnt/data/m/alt"}});
        EXPECT_GT(hammer({"--setgid", "/mnt/data/m/lead/sentinel", "/mnt/data/m/lead/sentinel/"}),
                  0);
    }
    expect_untouched(sentinels);
}

// Puts `text` over a file for as long as it lives; the namespace keeps the host unaffected.
class Overlay {
  public:
    Overlay(const std::string& target, const std::string& text) : target_(target) {
        std::ofstream("/mnt/overlay") << text;
        ok_ = mount("/mnt/overlay", target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~Overlay() {
        if (ok_) umount(target_.c_str());
    }
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string target_;
    bool ok_ = false;
};

// Turns the kernel's hard-link protection on, as Debian has it, for as long as it lives.
class ProtectedHardlinks {
  public:
    ProtectedHardlinks() {
        std::ifstream(path_) >> was_;
        if (was_ != "1") std::ofstream(path_) << "1\n";
    }
    ~ProtectedHardlinks() {
        if (was_ != "1") std::ofstream(path_) << was_ << "\n";
    }
    ProtectedHardlinks(const ProtectedHardlinks&) = delete;
    ProtectedHardlinks& operator=(const ProtectedHardlinks&) = delete;

  private:
    const char* path_ = "/proc/sys/fs/protected_hardlinks";
    std::string was_;
};

TEST_F(Hostile, HardLinksToFilesOutsideTheTreeAreRefused) {
    const auto sentinels = make_sentinels();
    make_dir("/mnt/data/m", 0755, mallory, mallory);
    // With the protection on, a user in group 2000 may still link any file he may read and write.
    make_file("/mnt/outside/roots", 0666);
    make_file("/mnt/outside/group", 0660, 0, 2000);
    make_file("/mnt/outside/bobs", 0660, bob, 2000);
    for (const char* f : {"roots", "group", "bobs"}) {
        ASSERT_EQ(link((std::string("/mnt/outside/") + f).c_str(),
                       (std::string("/mnt/data/m/") + f).c_str()),
                  0);
    }
    make_file("/mnt/data/m/own", 0600, mallory, mallory);
    ASSERT_EQ(link("/mnt/data/m/own", "/mnt/data/m/own2"), 0);
    const Caller root{};
    const std::string off = " while /proc/sys/fs/protected_hardlinks is not 1";
    const std::string other = " owned by another user";
    const ProtectedHardlinks on;
    const struct {
        const char* what;
        Caller caller;
        std::vector<std::string> args;
        bool planted;  // a "1" bound over the setting, which is no longer procfs
        bool own_handed;
        std::string why;
    } rows[] = {
        {"planted setting", attacker, {}, true, false, off},
        {"the caller", attacker, {}, false, true, other},
        {"root to the attacker", root, {"--uid", "1002", "--gid", "1002"}, false, true, other},
        {"root, group only", root, {"--gid", "1002"}, false, false, other},
        {"root, owner kept", root, {"--uid", "-1", "--gid", "-1"}, false, false, other},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(chmod("/mnt/data/m/own", 0600), 0);
        std::vector<std::string> args = row.args;
        std::string out, err;
        for (const char* f : {"own", "roots", "group", "bobs"}) {
            args.push_back(std::string("/mnt/data/m/") + f);
            const std::string line =
                (f == std::string("own") && row.own_handed)
                    ? updated(args.back()) + "\n"
                    : "Failed to update ownership of" + quote_path(args.back()) +
                          ": refusing a file with 2 hard links" + row.why + "\n";
            (line[0] == 'U' ? out : err).insert(0, line);
        }
        std::optional<Overlay> planted;
        if (row.planted) planted.emplace("/proc/sys/fs/protected_hardlinks", "1\n");
        const Result r = run(row.caller, args);
        EXPECT_EQ(r.status, row.own_handed ? 3 : 4);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(meta("/mnt/data/m/own"),
                  (Meta{mallory, mallory, row.own_handed ? 0640U : 0600U}));
        EXPECT_EQ(meta("/mnt/outside/roots"), (Meta{0, 0, 0666}));
        EXPECT_EQ(meta("/mnt/outside/group"), (Meta{0, 2000, 0660}));
        EXPECT_EQ(meta("/mnt/outside/bobs"), (Meta{bob, 2000, 0660}));
        expect_untouched(sentinels);
    }
}

TEST_F(Hostile, ArgumentsAreResolvedWithTheCallersRights) {
    const auto sentinels = make_sentinels();
    make_dir("/mnt/data/m", 0755, mallory, mallory);
    make_file("/mnt/data/m/foo", 0600, mallory, mallory);
    make_link("/mnt/outside/sentinel", "/mnt/data/m/l", mallory, mallory);
    // Folds back under the root whatever NAME is: the answer must not tell what NAME is.
    for (const char* name : {"secret", "sub", "absent"}) {
        const std::string probe = std::string("/mnt/data/m/l/") + name + "/../../../data/m/foo";
        const Result r = run(attacker, {probe});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "Error: path \"" + probe + "\" is not an allowed path.\n" + usage_text())
            << name;
    }
    // Below a directory the caller may not search nothing can be named, however he runs the tool
    // and whatever way in he finds; the directory itself can be named.
    make_dir("/mnt/data/m/closed", 0700, bob, bob);
    make_file("/mnt/data/m/closed/f", 0600, bob, bob);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t inside = fork();
    if (inside == 0) {
        // Another user's process working in there.
        if (chdir("/mnt/data/m/closed") != 0 || setresgid(bob, bob, bob) != 0 ||
            setresuid(bob, bob, bob) != 0 || write(ready[1], "", 1) != 1) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
    const std::string cwd = "/proc/" + std::to_string(inside) + "/cwd/";
    // Capabilities kept across the change of ids, as a service manager may start a process.
    const Caller keeping{mallory, mallory, {"--securebits=+no_setuid_fixup"}};
    const struct {
        Caller caller;
        std::string arg;
    } refused[] = {
        {attacker, "/mnt/data/m/closed/f"},
        {keeping, "/mnt/data/m/closed/f"},
        {keeping, "/mnt/data/m/closed/absent"},
        {attacker, cwd},
        {attacker, cwd + "f"},
    };
    for (const auto& row : refused) {
        const Result r = run(row.caller, {row.arg});
        EXPECT_EQ(r.status, 1) << row.arg;
        EXPECT_EQ(r.err, "Error: path " + quote_path(row.arg) + " is not an allowed path.\n" +
                             usage_text());
        EXPECT_EQ(meta("/mnt/data/m/closed"), (Meta{bob, bob, 0700})) << row.arg;
        EXPECT_EQ(meta("/mnt/data/m/closed/f"), (Meta{bob, bob, 0600})) << row.arg;
    }
    kill(inside, SIGKILL);
    waitpid(inside, nullptr, 0);
    const Result r = run(attacker, {"/mnt/data/m/closed"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(meta("/mnt/data/m/closed/f"), (Meta{mallory, mallory, 0640}));
    expect_untouched(sentinels);
}

// A sanitizer's allocator reports running out of memory and ends the process instead of failing
// the allocation, so this runs in the plain build only.
#ifndef __SANITIZE_ADDRESS__
TEST_F(Hostile, ListingTooLargeToHoldIsAWarningAndTheWalkGoesOn) {
    make_dir("/mnt/data/big", 0700, mallory, mallory);
    // About 5 MB of names: more than fits in 8 MB of address space next to the program.
    const std::string filler(240, 'n');
    for (int i = 0; i < 20000; ++i) {
        make_file("/mnt/data/big/" + std::to_string(i) + filler, 0600, mallory, mallory);
    }
    make_file("/mnt/data/after", 0600, mallory, mallory);
    RunOptions opt;
    opt.address_space = 8L << 20;
    const Result r =
        run(Caller{}, {"--uid", "1001", "--gid", "1001", "/mnt/data/after", "/mnt/data/big"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Warning: Failed to iterate \"/mnt/data/big\": filesystem error: directory iterator "
              "cannot advance: Cannot allocate memory [/mnt/data/big] (will still try to fix "
              "directory permissions)\n");
    const std::vector<std::string> out = lines(r.out);
    ASSERT_GT(out.size(), 2U);
    EXPECT_EQ(out.front(), updated("/mnt/data/big"));
    EXPECT_EQ(out.back(), updated("/mnt/data/after"));
    EXPECT_EQ(meta("/mnt/data/big"), (Meta{bob, bob, 0740}));
    EXPECT_EQ(meta("/mnt/data/after"), (Meta{bob, bob, 0640}));
}
#endif

}  // namespace

TEST_F(Hostile, ProcThatIsNotProcfsIsNeverTrusted) {
    const auto sentinels = make_sentinels();
    make_dir("/mnt/data/m", 0700, mallory, mallory);
    make_dir("/mnt/data/m/d", 0700, mallory, mallory);
    make_file("/mnt/data/m/f", 0600, mallory, mallory);
    ASSERT_EQ(link("/mnt/outside/secret", "/mnt/data/m/hl"), 0);
    // A /proc someone could write, as in a misbuilt chroot: every descriptor number names a
    // sentinel, and the hard-link setting is a fifo that would block its reader.
    ASSERT_EQ(mount("tmpfs", "/proc", "tmpfs", 0, "mode=0755"), 0);
    bool planted = mkdir("/proc/self", 0755) == 0 && mkdir("/proc/self/fd", 0755) == 0 &&
                   mkdir("/proc/sys", 0755) == 0 && mkdir("/proc/sys/fs", 0755) == 0 &&
                   mkfifo("/proc/sys/fs/protected_hardlinks", 0644) == 0;
    for (int n = 0; n < 64 && planted; ++n) {
        planted =
            symlink("/mnt/outside/secret", ("/proc/self/fd/" + std::to_string(n)).c_str()) == 0;
    }
    // A set-group-ID program of his that root hands over: its bits cannot be cleared first.
    make_file("/mnt/data/prog", 02745, mallory, mallory);
    RunOptions opt;
    opt.refuse = "fchmodat2=ENOSYS";
    const Result r = planted ? run(attacker, {"/mnt/data/m"}, opt) : Result{};
    opt.refuse = "fchmodat2=EPERM";
    const Result prog =
        planted ? run(Caller{}, {"--uid", "1001", "--gid", "1001", "/mnt/data/prog"}, opt)
                : Result{};
    ASSERT_EQ(umount("/proc"), 0);
    ASSERT_TRUE(planted);
    EXPECT_EQ(r.status, 2);
    std::vector<std::string> out = lines(r.out), err = lines(r.err);
    std::sort(out.begin(), out.end());
    std::sort(err.begin(), err.end());
    EXPECT_EQ(out, (std::vector<std::string>{updated("/mnt/data/m"), updated("/mnt/data/m/d")}));
    EXPECT_EQ(err, (std::vector<std::string>{
                       "Failed to update ownership of\"/mnt/data/m/hl\": refusing a file with 2 "
                       "hard links while /proc/sys/fs/protected_hardlinks is not 1",
                       "Failed to update permissions of \"/mnt/data/m/f\": (95) Operation not "
                       "supported (no fchmodat2, and /proc is not procfs)"}));
    // Directories are changed through their own descriptors; nothing else can be, safely.
    EXPECT_EQ(meta("/mnt/data/m/d"), (Meta{mallory, mallory, 0740}));
    EXPECT_EQ(meta("/mnt/data/m/f"), (Meta{mallory, mallory, 0600}));
    expect_untouched(sentinels);
    EXPECT_EQ(prog.status, 1);
    EXPECT_EQ(prog.out, "");
    EXPECT_EQ(prog.err,
              "Failed to update ownership of\"/mnt/data/prog\": (95) Operation not supported (no "
              "fchmodat2, and /proc is not procfs)\n");
    EXPECT_EQ(meta("/mnt/data/prog"), (Meta{mallory, mallory, 02745}));
}
