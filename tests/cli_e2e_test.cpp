// End-to-end tests of the command line: usage, ids, option order and path refusals.
#include <unistd.h>

#include "e2e_harness.h"

namespace {

using Cli = E2E;

TEST_F(Cli, HelpAndBadOptionsPrintTheUsage) {
    const std::string usage = usage_text();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;  // the complaint, if any, then the usage text
    } cases[] = {
        {{"-h"}, 0, "", usage},
        {{"--setgid", "-h"}, 0, "", usage},
        {{"--help"}, 0, help_text(), ""},
        {{"--he", "--bogus"}, 0, help_text(), ""},
        {{"--version"}, 0, "quorvane " QUORVANE_VERSION "\n", ""},
        {{"-?"}, 1, "", usage},
        // The complaints are the C library's, with the tool's own name, never argv[0].
        {{"--bogus"}, 1, "", "quorvane: unrecognized option '--bogus'\n" + usage},
        {{"--bogus=x"}, 1, "", "quorvane: unrecognized option '--bogus=x'\n" + usage},
        {{"-x"}, 1, "", "quorvane: invalid option -- 'x'\n" + usage},
        {{"-sx"}, 1, "", "quorvane: invalid option -- 'x'\n" + usage},
        {{"--uid"}, 1, "", "quorvane: option '--uid' requires an argument\n" + usage},
        {{"--ui"}, 1, "", "quorvane: option '--uid' requires an argument\n" + usage},
        {{"-g"}, 1, "", "quorvane: option requires an argument -- 'g'\n" + usage},
        {{"--setgid=1"}, 1, "", "quorvane: option '--setgid' doesn't allow an argument\n" + usage},
        // What the caller typed is shown escaped: no escape sequence, no line of its own.
        {{"--\x1b]0;x\a"}, 1, "", "quorvane: unrecognized option '--\\x1b]0;x\\x07'\n" + usage},
        {{"--a\nUpdated"}, 1, "", "quorvane: unrecognized option '--a\\nUpdated'\n" + usage},
        {{"-\x1b"}, 1, "", "quorvane: invalid option -- '\\x1b'\n" + usage},
        {{"--a\"b\\x1b"}, 1, "", "quorvane: unrecognized option '--a\\\"b\\\\x1b'\n" + usage},
        // Options are all read before any path is judged.
        {{"/etc", "-h"}, 0, "", usage},
        {{"/etc", "--bogus"}, 1, "", "quorvane: unrecognized option '--bogus'\n" + usage},
    };
    for (const auto& c : cases) {
        RunOptions opt;
        opt.argv0 = "--not-the-tool";
        const RunResult r = run(user, c.args, opt);
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Cli, NoArgumentsDoNothing) {
    for (const Caller& c : {root, user}) {
        const RunResult r = run(c, {});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Cli, ForeignIdsAreJudgedOnTheRealIds) {
    const std::string uid_refused = "Error: can only set foreign uid as root\n";
    const std::string gid_refused = "Error: can only set foreign gid as root\n";
    const struct {
        Caller caller;
        std::vector<std::string> args;
        std::string err;  // empty: accepted (no paths, so status 0 and no output)
    } cases[] = {
        {user, {"--uid", "1000"}, ""},
        {user, {"--uid=1000", "-u1000", "-u", "1000"}, ""},
        {user, {"--uid", "0"}, uid_refused},
        {user, {"--uid", "-1"}, uid_refused},
        {user, {"--uid", "1001"}, uid_refused},
        {user, {"--gid", "1000"}, ""},
        {user, {"--gid", "0"}, gid_refused},
        {user, {"--uid", "1000", "--gid", "7"}, gid_refused},
        {user, {"--uid", " +1000", "-u01000", "-g", "\t1000"}, ""},  // blanks, a sign, zeros
        {root, {"--uid", "5", "--gid", "6"}, ""},
        {root, {"--uid", "5", "--uid", "5"}, ""},
        {root, {"--uid", "0", "--uid", "7"}, ""},  // still 0 after the first
        {root, {"--uid", "5", "--uid", "6"}, uid_refused},
        {root, {"--gid", "5", "--gid", "6"}, gid_refused},
        {root, {"--uid", "4294967295", "--uid", "-1"}, ""},  // cut to 32 bits: -1 both times
        {root, {"--u", "5", "--g", "6", "--se"}, ""},        // unambiguous prefixes
        {{0, alice, {}}, {"--uid", "5"}, ""},                // uid and gid judged apart
        {{0, alice, {}}, {"--gid", "5"}, gid_refused},
        {{alice, 0, {}}, {"--gid", "5"}, ""},
        {{alice, 0, {}}, {"--uid", "5"}, uid_refused},
        // A refused id ends the run before help and before any path is judged.
        {user, {"--uid", "0", "-h"}, uid_refused},
        {user, {"--uid", "0", "/etc"}, uid_refused},
        {user, {"/etc", "--gid", "0"}, gid_refused},
        // Only numbers: a name would read as root's 0, a stray character as the digits before it.
        {root, {"--uid", "alice"}, "Error: uid \"alice\" is not a decimal number\n"},
        {user, {"--uid", "alice"}, "Error: uid \"alice\" is not a decimal number\n"},
        {root, {"--gid", ""}, "Error: gid \"\" is not a decimal number\n"},
        {root, {"-u", "1000abc", "/etc"}, "Error: uid \"1000abc\" is not a decimal number\n"},
        {root, {"-g0x3e8", "-h"}, "Error: gid \"0x3e8\" is not a decimal number\n"},
        {root, {"--uid", "- 1"}, "Error: uid \"- 1\" is not a decimal number\n"},
        {root, {"--uid", "5", "--uid", "7 "}, "Error: uid \"7 \" is not a decimal number\n"},
        {user, {"--gid", "1000\n"}, "Error: gid \"1000\\n\" is not a decimal number\n"},
        // Only -1 and 0 to 4294967295 ((uid_t)-1 again): no number beyond is cut or saturated
        // into another id.
        {root,
         {"--uid", "-9223372036854775809"},
         "Error: uid \"-9223372036854775809\" is out of range\n"},
        {root,
         {"--uid", "9223372036854775808"},
         "Error: uid \"9223372036854775808\" is out of range\n"},
        {root,
         {"--uid", "99999999999999999999"},
         "Error: uid \"99999999999999999999\" is out of range\n"},
        {root, {"--uid", "4294967296", "-h"}, "Error: uid \"4294967296\" is out of range\n"},
        {root, {"--uid", "-5"}, "Error: uid \"-5\" is out of range\n"},
        {root, {"--uid", "-2147483648"}, "Error: uid \"-2147483648\" is out of range\n"},
        {root,
         {"--uid", "-1", "--gid", "4294967296"},
         "Error: gid \"4294967296\" is out of range\n"},
        {user, {"--gid", "x", "--uid", "-7"}, "Error: gid \"x\" is not a decimal number\n"},
        {root, {"--uid", "-01", "--gid", "+0004294967295"}, ""},
        // 2^64 and beyond never wrap round to root's 0, or to any other id.
        {root,
         {"--uid", "18446744073709551616"},
         "Error: uid \"18446744073709551616\" is out of range\n"},
        {root,
         {"--gid", "18446744073709552616"},
         "Error: gid \"18446744073709552616\" is out of range\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run(c.caller, c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " as " + std::to_string(c.caller.uid) + ":" +
                     std::to_string(c.caller.gid));
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Cli, IdsReachTheOwnershipChange) {
    const struct {
        std::vector<std::string> ids;
        Meta want;
    } cases[] = {
        {{"--uid", " +7"}, {7, 0, 0640}},  // the real gid 0 is the default
        {{"--uid", "-1", "--gid", "-1"}, {2, 3, 0640}},
        {{"--uid", "4294967295", "--gid", "4294967295"}, {2, 3, 0640}},
        {{"--uid", "7", "--gid", "8"}, {7, 8, 0640}},
        {{"--gid", "009"}, {0, 9, 0640}},
        {{"--uid", "-001", "--gid", "+4294967295"}, {2, 3, 0640}},
    };
    for (const auto& c : cases) {
        make_file("/mnt/data/f", 0600, 2, 3);
        std::vector<std::string> args = c.ids;
        args.emplace_back("/mnt/data/f");
        const RunResult r = run(root, args);
        EXPECT_EQ(r.status, 0) << c.ids[1];
        EXPECT_EQ(r.out, updated("/mnt/data/f") + "\n");
        EXPECT_EQ(meta("/mnt/data/f"), c.want) << c.ids[1];
        ASSERT_EQ(unlink("/mnt/data/f"), 0);
    }
    // An unprivileged caller's own ids are the defaults.
    make_file("/mnt/data/f", 0600, bob, bob);
    EXPECT_EQ(run(user, {"/mnt/data/f"}).status, 0);
    EXPECT_EQ(meta("/mnt/data/f"), (Meta{alice, alice, 0640}));
}

TEST_F(Cli, RefusedPathsStopTheWholeRun) {
    make_file("/mnt/data/first", 0600, bob, bob);
    make_dir("/mnt/data/dir", 0700, bob, bob);
    make_link("/mnt/data/dir", "/mnt/data/inside_link");
    make_link("/etc", "/mnt/data/out_link");
    make_file("/mnt/outside/f", 0600);
    const struct {
        std::vector<std::string> args;
        std::string cwd;
        std::string refused;  // quoted
    } cases[] = {
        {{"/mnt/data/first", "/mnt/outside/f"}, "/", R"("/mnt/outside/f")"},
        {{"/mnt/data/first", "/mnt/database"}, "/", R"("/mnt/database")"},
        {{"/mnt/data/first", "/mnt"}, "/", R"("/mnt")"},
        {{"/mnt/data/first", "/mnt/data/../outside/f"}, "/", R"("/mnt/data/../outside/f")"},
        {{"/mnt/data/first", "/mnt/data/inside_link"}, "/", R"("/mnt/data/inside_link")"},
        {{"/mnt/data/first", "/mnt/data/out_link/"}, "/", R"("/mnt/data/out_link/")"},
        {{"/mnt/data/first", "/mnt/data/out_link/passwd"}, "/", R"("/mnt/data/out_link/passwd")"},
        {{"/mnt/data/first", "first"}, "/mnt/outside", R"("first")"},
        {{"/mnt/data/first", "nonexistent/x"}, "/mnt/data", R"("nonexistent/x")"},
        {{"/mnt/data/first", ""}, "/", R"("")"},
        {{"/mnt/data/first", "/etc/\"q\\"}, "/", R"("/etc/\"q\\")"},
        {{"/mnt/data/first", "--", "-h"}, "/", R"("-h")"},
        {{"/mnt/outside/f", "/mnt/data/first"}, "/", R"("/mnt/outside/f")"},
    };
    for (const auto& c : cases) {
        const RunResult r = run(user, c.args, {c.cwd});
        EXPECT_EQ(r.status, 1) << c.refused;
        EXPECT_EQ(r.out, "") << c.refused;
        EXPECT_EQ(r.err, refusal(c.refused));
        EXPECT_EQ(meta("/mnt/data/first"), (Meta{bob, bob, 0600})) << c.refused;
        EXPECT_EQ(meta("/mnt/data/dir"), (Meta{bob, bob, 0700})) << c.refused;
        EXPECT_EQ(meta("/mnt/outside/f"), (Meta{0, 0, 0600})) << c.refused;
    }
}

TEST_F(Cli, AdmittedPathsInEveryForm) {
    make_dir("/mnt/data/dir", 0700, bob, bob);
    make_link("/mnt/data/dir", "/mnt/data/dir_link");
    const struct {
        std::vector<std::string> args;
        std::string cwd;
        std::string shown;
    } cases[] = {
        {{"/mnt/data/dir"}, "/", "/mnt/data/dir"},
        {{"/mnt/data/dir/"}, "/", "/mnt/data/dir/"},
        {{"/mnt/data//dir"}, "/", "/mnt/data//dir"},
        {{"/mnt/data/./dir"}, "/", "/mnt/data/./dir"},
        {{"dir"}, "/mnt/data", "dir"},
        {{"./dir"}, "/mnt/data", "./dir"},
        {{"."}, "/mnt/data/dir", "."},
        {{"../../mnt/data/dir"}, "/run/lock", "../../mnt/data/dir"},
        {{"/mnt/data/dir_link/"}, "/", "/mnt/data/dir_link/"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(chmod("/mnt/data/dir", 0700), 0);
        const RunResult r = run(user, c.args, {c.cwd});
        EXPECT_EQ(r.status, 0) << c.shown;
        EXPECT_EQ(r.out, updated(c.shown) + "\n");
        EXPECT_EQ(r.err, "") << c.shown;
        EXPECT_EQ(meta("/mnt/data/dir"), (Meta{alice, alice, 0740})) << c.shown;
    }
    EXPECT_EQ(meta("/mnt/data/dir_link"), (Meta{0, 0, 0777}));
}

TEST_F(Cli, EveryRootIsUsable) {
    make_dir("/run/lock/mine", 0700, bob, bob);
    const RunResult r = run(user, {"/run/lock/mine", "/mnt/data"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, updated("/mnt/data") + "\n" + updated("/run/lock/mine") + "\n");
    EXPECT_EQ(meta("/run/lock/mine"), (Meta{alice, alice, 0740}));
    const RunResult missing = run(user, {"/wyr_data/x", "/var/run/brelmont/mqx47/y"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err,
              "Failed to update ownership of\"/var/run/brelmont/mqx47/y\": (2) No such file or "
              "directory\nFailed to update ownership of\"/wyr_data/x\": (2) No such file or "
              "directory\n");
}

}  // namespace
