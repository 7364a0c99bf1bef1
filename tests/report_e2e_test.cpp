// End-to-end tests of the report: an honest exit status, one line per path, lost lines counted.
#include <pwd.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "e2e_harness.h"

namespace {

using Report = E2E;

TEST_F(Report, ExitStatusIsTheFailureCountUpTo255) {
    for (const int n : {254, 256, 300}) {
        std::vector<std::string> args;
        args.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) args.push_back("/mnt/data/missing" + std::to_string(i));
        const RunResult r = run(root, args);
        EXPECT_EQ(r.status, std::min(n, 255)) << n << " failures";
        EXPECT_EQ(lines(r.err).size(), static_cast<size_t>(n));
    }
}

TEST_F(Report, UnsafeBytesInNamesAreShownEscaped) {
    make_dir("/mnt/data/t", 0755);
    const struct {
        std::string name;
        std::string shown;
    } names[] = {
        {"new\nline", R"(new\nline)"},
        {"tab\there", R"(tab\there)"},
        {"cr\r", R"(cr\r)"},
        {"esc\x1b[31m", R"(esc\x1b[31m)"},
        {"del\x7f", R"(del\x7f)"},
        {"\x01", R"(\x01)"},
        {"q\"b\\s", R"(q\"b\\s)"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"ls\xe2\x80\xa8Updated", R"(ls\xe2\x80\xa8Updated)"},
        {"nel\xc2\x85|csi\x9b|bad\xff", R"(nel\xc2\x85|csi\x9b|bad\xff)"},
        // The right-to-left override is the point of this name.
        // NOLINTNEXTLINE(misc-misleading-bidirectional)
        {"txt.\xe2\x80\xae"
         "exe",
         R"(txt.\xe2\x80\xaeexe)"},
    };
    for (const auto& n : names) make_file("/mnt/data/t/" + n.name, 0600);
    make_dir("/mnt/data/t/lock\ned", 0000);
    std::vector<std::string> want = {R"(Updated ownership and permissions for "/mnt/data/t")"};
    std::vector<std::string> listed = listing("/mnt/data/t");
    for (auto it = listed.rbegin(); it != listed.rend(); ++it) {
        std::string shown = R"(lock\ned)";
        for (const auto& n : names) {
            if (n.name == *it) shown = n.shown;
        }
        want.push_back(R"(Updated ownership and permissions for "/mnt/data/t/)" + shown + "\"");
    }
    // Without its read-search overrides the tool cannot list the locked directory.
    const RunResult r = run(blind, {"--uid", "1000", "/mnt/data/t"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out), want);
    EXPECT_EQ(r.err,
              R"(Warning: Failed to iterate "/mnt/data/t/lock\ned": filesystem error: directory )"
              R"(iterator cannot open directory: Permission denied [/mnt/data/t/lock\ned] (will )"
              "still try to fix directory permissions)\n");

    // A directory's name and its entry's, escaped apart or together, read the same.
    make_dir("/mnt/data/u\xc3", 0755);
    make_file("/mnt/data/u\xc3/\xa9\x1b", 0600);
    EXPECT_EQ(run(root, {"--uid", "1000", "/mnt/data/u\xc3"}).out,
              "Updated ownership and permissions for \"/mnt/data/u\\xc3\"\n"
              "Updated ownership and permissions for \"/mnt/data/u\\xc3/\\xa9\\x1b\"\n");

    const RunResult refused = run(root, {"/etc/x\ny"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(lines(refused.err).front(), R"(Error: path "/etc/x\ny" is not an allowed path.)");
}

TEST_F(Report, LinesThatCannotBeWrittenAreCountedAndTheWorkFinishes) {
    ASSERT_EQ(mkdir("/mnt/full", 0755), 0);
    ASSERT_EQ(mount("tmpfs", "/mnt/full", "tmpfs", 0, "size=4k"), 0);
    const struct {
        const char* what;
        Output output;
        const char* error;
        const char* out;
        long file_size = 0;
    } cases[] = {
        {"full file system", Output::file, "(28) No space left on device", ""},
        {"file at its size limit", Output::file, "(27) File too large", "", 1024},
        {"closed", Output::closed, "(9) Bad file descriptor", ""},
        {"reader gone after one line", Output::one_line, "(32) Broken pipe",
         "Updated ownership and permissions for \"/mnt/data/t\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all("/mnt/data/t");
        make_dir("/mnt/data/t", 0700);
        const int files = 300;
        for (int i = 0; i < files; ++i) {
            make_file("/mnt/data/t/a-name-long-enough-to-fill-pages-" + std::to_string(i), 0600);
        }
        RunOptions opt;
        opt.output = c.output;
        opt.output_file = "/mnt/full/log";
        opt.file_size = c.file_size;
        const RunResult r = run(root, {"--uid", "1000", "--gid", "1000", "/mnt/data/t"}, opt);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  std::string("Failed to write the report to standard output: ") + c.error + "\n");
        if (c.output != Output::file) {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_EQ(meta("/mnt/data/t"), (Meta{alice, alice, 0740}));
        for (int i = 0; i < files; ++i) {
            const std::string p =
                "/mnt/data/t/a-name-long-enough-to-fill-pages-" + std::to_string(i);
            ASSERT_EQ(meta(p), (Meta{alice, alice, 0640})) << p;
        }
    }
    umount("/mnt/full");
}

TEST_F(Report, TheFirstOfTwoWriteErrorsIsTheOneReported) {
    NEEDS_KNOWN_CALLS();
    make_dir("/mnt/data/t", 0700);
    make_file("/mnt/data/t/f", 0600);
    // Enough lines for more than one write, however many lines a write holds.
    for (int i = 0; i < 400; ++i) {
        make_file("/mnt/data/t/a-name-long-enough-to-need-more-than-one-write-" + std::to_string(i),
                  0600);
    }
    RunOptions opt;
    opt.traps = {{SYS_write, "", 1, false, [](Stop& s) { s.fail = EIO; }},
                 {SYS_write, "", 2, false, [](Stop& s) { s.fail = ENOSPC; }}};
    const RunResult r = run(root, {"--uid", "1000", "/mnt/data/t"}, opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to write the report to standard output: (5) Input/output error\n");
    EXPECT_EQ(meta("/mnt/data/t/f"), (Meta{alice, 0, 0640}));
}

TEST_F(Report, APipeGetsWholeLinesAtMostPipeBufAtOnce) {
    NEEDS_KNOWN_CALLS();
    make_dir("/mnt/data/t", 0700);
    for (int i = 0; i < 200; ++i) {
        make_file("/mnt/data/t/a-name-long-enough-for-a-few-pipe-buffers-" + std::to_string(i),
                  0600);
    }
    std::vector<std::string> written;
    RunOptions opt;
    opt.output = Output::pipe;
    for (int n = 1; n <= 3; ++n) {
        opt.traps.push_back({SYS_write, "", n, false, [&](Stop& s) { written.push_back(s.text); }});
    }
    const RunResult r = run(root, {"--uid", "1000", "/mnt/data/t"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out).size(), 201U);
    ASSERT_EQ(written.size(), 3U);
    for (const std::string& block : written) {
        // Whole lines, as many as fit: a writer beside it on the pipe cannot split them.
        EXPECT_LE(block.size(), size_t{PIPE_BUF});
        EXPECT_GT(block.size(), size_t{PIPE_BUF} - 120);
        EXPECT_EQ(block.back(), '\n');
    }
}

TEST_F(Report, AnInterruptedRunFinishesThePathInHandAndReportsEveryChange) {
    NEEDS_KNOWN_CALLS();
    make_dir("/mnt/data/t", 0700, bob, bob);
    make_dir("/mnt/data/t/.git", 0700, bob, bob);
    make_file("/mnt/data/t/.git/HEAD", 0600, bob, bob);
    make_file("/mnt/data/t/.profile", 0600, bob, bob);
    // Enough for more than a page of report, which a pipe nobody reads then holds up.
    for (int i = 0; i < 100; ++i) make_file("/mnt/data/t/f" + std::to_string(i), 0600, bob, bob);
    make_file("/mnt/data/a", 0600, bob, bob);  // an argument still to come, which must stay
    std::vector<std::string> order, paths;
    expected_walk("/mnt/data/t", order, &paths);
    expected_walk("/mnt/data/a", order, &paths);
    const int changed = 8;  // stopped right after the eighth ownership change
    const std::vector<std::string> done(order.begin(), order.begin() + changed);
    const std::vector<std::string> before(order.begin(), order.begin() + changed - 1);
    const struct {
        std::string what;
        int sent;  // right after the eighth ownership change
        int then;  // a second, if any: with the first, or once its handler has run if `blocked`
        Output output;
        int status;
        std::string out;
        int handed;
        int ignored = 0;       // when the tool starts, as nohup(1) leaves SIGHUP
        bool blocked = false;  // the first comes as it waits for a reader that never reads
    } rows[] = {
        {"SIGINT, to a file", SIGINT, 0, Output::file, 130, lines_of(done), changed},
        {"SIGINT, to a pipe", SIGINT, 0, Output::pipe, 130, lines_of(done), changed},
        {"SIGINT, to a terminal", SIGINT, 0, Output::terminal, 130, lines_of(done), changed},
        {"SIGTERM, to a file", SIGTERM, 0, Output::file, 143, lines_of(done), changed},
        {"SIGTERM, to a pipe", SIGTERM, 0, Output::pipe, 143, lines_of(done), changed},
        {"SIGTERM, to a terminal", SIGTERM, 0, Output::terminal, 143, lines_of(done), changed},
        {"SIGHUP, to a file", SIGHUP, 0, Output::file, 129, lines_of(done), changed},
        {"SIGHUP, to a pipe", SIGHUP, 0, Output::pipe, 129, lines_of(done), changed},
        {"SIGHUP, to a terminal", SIGHUP, 0, Output::terminal, 129, lines_of(done), changed},
        {"SIGINT then SIGTERM: the first ends it", SIGINT, SIGTERM, Output::file, 130,
         lines_of(done), changed},
        {"SIGHUP ignored from the start", SIGHUP, 0, Output::file, 0, lines_of(order),
         static_cast<int>(order.size()), SIGHUP},
        {"a second SIGINT while it waits for a reader", SIGINT, SIGINT, Output::stalled, 130, "",
         -1, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (const std::string& path : paths) {  // back to bob's, without group-read
            ASSERT_EQ(lchown(path.c_str(), bob, bob), 0);
            ASSERT_EQ(chmod(path.c_str(), meta(path).mode & ~S_IRGRP), 0);
        }
        RunOptions opt;
        opt.output = row.output;
        opt.output_file = "/mnt/report";
        opt.ignored = row.ignored;
        opt.timeout = 30;
        std::string shown;  // on the terminal at the stop
        const auto send = [&](Stop& s) {
            shown = s.out;
            kill(s.pid, row.sent);
            // Both pending at once: the first to be handled must be the one that ends the run.
            if (row.then && !row.blocked) kill(s.pid, row.then);
        };
        opt.traps = {row.blocked ? Trap{SYS_write, "", 2, false, send}
                                 : Trap{SYS_fchownat, "", changed, true, send}};
        if (row.then && row.blocked) {  // once the first one's handler has run
            const int then = row.then;
            opt.traps.push_back(
                {SYS_rt_sigreturn, "", 1, false, [then](Stop& s) { kill(s.pid, then); }});
        }
        const std::vector<std::string> args = {"/mnt/data/a", "/mnt/data/t"};
        const RunResult r = run(user, args, opt);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, "");
        if (row.blocked) continue;
        EXPECT_EQ(r.out, row.out);
        // A terminal is written a line at a time, as each path is done.
        if (row.output == Output::terminal) {
            EXPECT_EQ(shown, lines_of(before));
        }
        int handed = 0;
        for (const auto& path : paths) handed += meta(path).uid == alice ? 1 : 0;
        EXPECT_EQ(handed, row.handed);
        EXPECT_EQ(meta("/mnt/data/a").uid, row.handed == changed ? bob : alice);
    }
}

}  // namespace

namespace {

// How the audit log names the caller with real uid `uid`.
std::string who(uid_t uid) {
    const passwd* pw = getpwuid(uid);
    return pw ? std::string(pw->pw_name) + " (uid " + std::to_string(uid) + ")"
              : "uid " + std::to_string(uid);
}

TEST_F(Report, EachRunIsLoggedForTheAudit) {
    NEEDS_KNOWN_CALLS();
    make_dir("/mnt/data/t", 0700, bob, bob);
    make_file("/mnt/data/t/f", 0600, bob, bob);
    make_file("/mnt/data/u", 0600, bob, bob);  // walked before the argument that comes after
    // NOLINTNEXTLINE(misc-misleading-bidirectional): the override is the point of this name
    const std::string odd = "/mnt/data/new\nline\xe2\x80\xae";
    make_file(odd, 0600, bob, bob);
    // Root's tree, and the member's ways to it that name something else.
    make_dir("/mnt/data/hr", 0700);
    make_file("/mnt/data/hr/pay", 0600);
    for (const char* d :
         {"/mnt/outside/home", "/mnt/outside/home/run", "/mnt/outside/home/run/lock"}) {
        make_dir(d, 0755, alice, alice);
    }
    make_link("/mnt/data/hr", "/mnt/outside/home/holiday", alice, alice);
    make_link("/mnt/data/hr", "/mnt/outside/home/run/lock/mine", alice, alice);
    // A root set aside, for the member's own user may lead it elsewhere.
    make_dir("/run/brelmont", 0755, alice, alice);
    const std::string alice_is = who(alice);
    // A login name that holds control bytes, in a password file of the namespace's own.
    {
        std::ifstream in("/etc/passwd");
        std::ofstream("/mnt/passwd") << in.rdbuf() << "ev\x1b[31mil\x7f:x:1003:1003::/:/bin/sh\n";
    }
    const Bound passwd("/mnt/passwd", "/etc/passwd");
    const auto in = [](const char* cwd) {
        RunOptions opt;
        opt.cwd = cwd;
        return opt;
    };
    const auto named = [](const char* argv0) {
        RunOptions opt;
        opt.argv0 = argv0;
        return opt;
    };
    const auto interrupted = [](long call, int nth, bool at_exit) {
        RunOptions opt;
        opt.traps = {{call, "", nth, at_exit, [](Stop& s) { kill(s.pid, SIGINT); }}};
        return opt;
    };
    const std::string hand_over = alice_is + ": hand over to 1000:1000 without --setgid: ";
    const std::string took_hr = alice_is + ": ended: 2 paths visited, 0 failures";
    const struct {
        const char* what;
        Caller caller;
        std::vector<std::string> args;
        RunOptions opt;
        int status;
        std::vector<std::pair<int, std::string>> want;  // severity and message, in order
    } rows[] = {
        {"a member's run",
         user,
         {"/mnt/data/t"},
         {},
         0,
         {{LOG_NOTICE, hand_over + "\"/mnt/data/t\""},
          {LOG_NOTICE, alice_is + ": ended: 2 paths visited, 0 failures"}}},
        {"root's run",
         root,
         {"--uid", "1001", "--gid", "-1", "--setgid", "/mnt/data/t", "/mnt/data/t/f"},
         {},
         0,
         {{LOG_NOTICE,
           who(0) + R"(: hand over to 1001:-1 with --setgid: "/mnt/data/t" "/mnt/data/t/f")"},
          {LOG_NOTICE, who(0) + ": ended: 3 paths visited, 0 failures"}}},
        {"a refused id",
         user,
         {"--uid", "0", "/mnt/data/t"},
         {},
         1,
         {{LOG_WARNING, alice_is + ": refused: Error: can only set foreign uid as root"}}},
        {"a refused path",
         user,
         {"/etc/x\ny"},
         {},
         1,
         {{LOG_WARNING,
           alice_is + R"(: refused: Error: path "/etc/x\ny" is not an allowed path.)"}}},
        {"run under another name",
         user,
         {"/mnt/data/t/f"},
         named("sudo"),
         0,
         {{LOG_NOTICE, hand_over + "\"/mnt/data/t/f\""},
          {LOG_NOTICE, alice_is + ": ended: 1 path visited, 0 failures"}}},
        {"a name with a newline and a bidirectional control",
         user,
         {odd},
         {},
         0,
         {{LOG_NOTICE, hand_over + R"("/mnt/data/new\nline\xe2\x80\xae")"},
          {LOG_NOTICE, alice_is + ": ended: 1 path visited, 0 failures"}}},
        {"failures",
         user,
         {"/mnt/data/gone", "/mnt/data/gone/x"},
         {},
         2,
         {{LOG_NOTICE, hand_over + R"("/mnt/data/gone" "/mnt/data/gone/x")"},
          {LOG_WARNING, alice_is + ": ended: 2 paths visited, 2 failures"}}},
        {"a path under a root set aside",
         user,
         {"/var/run/brelmont/mqx47/x"},
         {},
         1,
         {{LOG_WARNING,
           alice_is + R"(: refused: Error: path "/var/run/brelmont/mqx47/x" is not an allowed )"
                      R"(path. Warning: root "/var/run/brelmont/mqx47" is not used: )"
                      R"("/run/brelmont" is writable by uid 1000)"}}},
        {"a login name with control bytes",
         {1003, 1003, {}},
         {"/mnt/data/gone"},
         {},
         1,
         {{LOG_NOTICE, R"(ev\x1b[31mil\x7f (uid 1003): hand over to 1003:1003 without --setgid: )"
                       R"("/mnt/data/gone")"},
          {LOG_WARNING, R"(ev\x1b[31mil\x7f (uid 1003): ended: 1 path visited, 1 failure)"}}},
        {"help", user, {"-h"}, {}, 0, {}},
        {"a bad option", user, {"--bogus"}, {}, 1, {}},
        // What was taken is named where it is, however the caller wrote it.
        {"a link of his to the tree, with a trailing slash",
         user,
         {"/mnt/outside/home/holiday/"},
         {},
         0,
         {{LOG_NOTICE, hand_over + R"("/mnt/outside/home/holiday/" = "/mnt/data/hr")"},
          {LOG_NOTICE, took_hr}}},
        {"relative",
         user,
         {"hr"},
         in("/mnt/data"),
         0,
         {{LOG_NOTICE, hand_over + R"("hr" = "/mnt/data/hr")"}, {LOG_NOTICE, took_hr}}},
        {"through /proc/self/cwd",
         user,
         {"/proc/self/cwd/hr"},
         in("/mnt/data"),
         0,
         {{LOG_NOTICE, hand_over + R"("/proc/self/cwd/hr" = "/mnt/data/hr")"},
          {LOG_NOTICE, took_hr}}},
        {"a look-alike of a root",
         user,
         {"run/lock/mine/"},
         in("/mnt/outside/home"),
         0,
         {{LOG_NOTICE, hand_over + R"("run/lock/mine/" = "/mnt/data/hr")"}, {LOG_NOTICE, took_hr}}},
        // How it ended, said as it ends.
        {"interrupted, with an argument still to come",
         user,
         {"/mnt/data/t", "/mnt/data/u"},
         interrupted(SYS_fchownat, 1, true),
         128 + SIGINT,
         {{LOG_NOTICE, hand_over + R"("/mnt/data/t" "/mnt/data/u")"},
          {LOG_NOTICE, alice_is + ": interrupted by SIGINT: 1 path visited, 0 failures"}}},
        {"a signal as the end line is sent",
         user,
         {"/mnt/data/t/f"},
         interrupted(SYS_sendto, 2, false),
         0,
         {{LOG_NOTICE, hand_over + "\"/mnt/data/t/f\""},
          {LOG_NOTICE, alice_is + ": ended: 1 path visited, 0 failures"}}},
    };
    SystemLog log;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(run(row.caller, row.args, row.opt).status, row.status);
        const std::vector<LogLine> got = log.take();
        ASSERT_EQ(got.size(), row.want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].facility, LOG_AUTHPRIV >> 3);
            EXPECT_EQ(got[i].severity, row.want[i].first);
            EXPECT_EQ(got[i].tag, "quorvane");
            EXPECT_EQ(got[i].pid, got[0].pid);
            EXPECT_EQ(got[i].message, row.want[i].second);
            for (const unsigned char c : got[i].message) {
                EXPECT_TRUE(c >= 0x20 && c != 0x7f) << "a raw control byte " << int(c);
            }
        }
    }

    // However long the paths, no line is longer than a system log keeps, and the lines join back
    // into the whole: a line cut in a path ends in "\", and the next goes on after its start.
    std::string ctl(250, '\x01'), shown;
    for (int i = 0; i < 250; ++i) shown += "\\x01";
    std::string missing = "/mnt/data/.", written = "\"/mnt/data/.", resolved = "\"/mnt/data";
    for (int i = 0; i < 15; ++i) {
        missing += "/" + ctl;
        written += "/" + shown;
        resolved += "/" + shown;
    }
    std::vector<std::string> many = {missing};
    std::string start = hand_over + written + "\" = " + resolved + "\"";
    for (int i = 0; i < 600; ++i) {
        many.emplace_back("/mnt/data/t/f");
        start += " \"/mnt/data/t/f\"";
    }
    const struct {
        std::vector<std::string> args;
        int status;
        std::string joined;  // the first line with every continuation joined
        const char* more;    // how a continuation starts
    } long_rows[] = {
        {many, 1, start, ": hand over, continued: "},
        {{"/etc/" + missing},
         1,
         alice_is + ": refused: Error: path \"/etc/" + written.substr(1) +
             "\" is not an allowed path.",
         ": refused, continued: "},
    };
    for (const auto& row : long_rows) {
        EXPECT_EQ(run(user, row.args).status, row.status);
        const std::vector<LogLine> got = log.take();
        ASSERT_GE(got.size(), 2U);
        std::string joined = got[0].message;
        for (const LogLine& line : got) EXPECT_LE(line.size, 8192U);
        const std::string more = alice_is + row.more;
        for (size_t i = 1; i < got.size() && got[i].message.rfind(more, 0) == 0; ++i) {
            const bool cut = (joined.size() - 1 - joined.find_last_not_of('\\')) % 2 == 1;
            const std::string rest = got[i].message.substr(more.size());
            // Cut where an escape starts or a path ends, never inside one.
            if (cut) {
                EXPECT_NE(std::string("\\\" =").find(rest.at(0)), std::string::npos) << rest;
                joined.pop_back();
            }
            joined += (cut ? "" : " ") + rest;
        }
        EXPECT_EQ(joined, row.joined);
    }
}

}  // namespace
