// The end-to-end harness: a private namespace with tmpfs over /mnt and /run, and helpers.
#include "e2e_harness.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#ifndef SYS_openat2
#define SYS_openat2 437  // the same on every architecture; older C libraries lack the name
#endif

namespace fs = std::filesystem;

const char* const tool = "/mnt/bin/quorvane";
const char* const plain_tool = "/mnt/bin/quorvane-plain";

namespace {

std::string namespace_error;  // why the namespace could not be made, empty when it was

std::string fail(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// A fresh tmpfs over /mnt with the set-user-ID root copy of the tool in /mnt/bin and empty
// /mnt/data and /mnt/outside: replacing it is the one clean-up that holds no descriptor per level
// of a deep tree.
std::string fresh_mnt() {
    if (umount2("/mnt", MNT_DETACH) != 0) return fail("umount /mnt");
    if (mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755") != 0) return fail("tmpfs on /mnt");
    for (const char* dir : {"/mnt/bin", "/mnt/data", "/mnt/outside"}) {
        if (mkdir(dir, 0755) != 0) return fail(dir);
    }
    std::error_code ec;
    fs::copy_file(QUORVANE_BINARY, tool, ec);
    if (!ec) fs::copy_file(QUORVANE_BINARY, plain_tool, ec);
    if (ec) return "copy " QUORVANE_BINARY ": " + ec.message();
    // Owner before mode: changing the owner would clear the set-user-ID bit.
    if (chown(tool, 0, 0) != 0 || chmod(tool, 04755) != 0) return fail("install set-user-ID");
    return {};
}

// A fresh tmpfs over /run, and one over /run/lock, writable by everyone: the way to a root under
// /run is set up by the tests, never on the host's /run, and no test sees another's.
std::string fresh_run() {
    if (umount2("/run", MNT_DETACH) != 0 && errno != EINVAL) return fail("umount /run");
    if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return fail("tmpfs on /run");
    if (mkdir("/run/lock", 01777) != 0) return fail("mkdir /run/lock");
    if (mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777") != 0) {
        return fail("tmpfs on /run/lock");
    }
    return {};
}

// A tmpfs over /dev with only the devices the tests use, so that the tool's audit lines reach
// the /dev/log of a test, if any, and never the host's system log.
std::string private_dev() {
    const char* host = "/run/host-dev";
    if (mkdir(host, 0700) != 0 || mount("/dev", host, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return fail("bind /dev");
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) return fail("tmpfs on /dev");
    for (const std::string name : {"null", "zero", "full", "urandom", "random", "tty"}) {
        const std::string dev = "/dev/" + name;
        const int made = open(dev.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (made < 0) return fail(dev.c_str());
        close(made);
        if (mount((host + ("/" + name)).c_str(), dev.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return fail(("bind " + dev).c_str());
        }
    }
    // Terminals of the tests' own: a devpts instance whose multiplexer is the one beside it.
    if (mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "ptmxmode=0666") != 0) {
        return fail("devpts on /dev/pts");
    }
    if (symlink("pts/ptmx", "/dev/ptmx") != 0) return fail("/dev/ptmx");
    if (symlink("/proc/self/fd", "/dev/fd") != 0) return fail("/dev/fd");
    if (umount2(host, MNT_DETACH) != 0 || rmdir(host) != 0) return fail("umount the host's /dev");
    return {};
}

// Everything the tests touch lives on tmpfs mounts that only this process tree can see.
std::string enter_namespace() {
    if (geteuid() != 0) return "needs root to mount a private namespace and install set-user-ID";
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("make / private") +
               (errno == EINVAL ? " (/ is not a mount point, as in a plain chroot: run "
                                  "'mount --bind DIR DIR' before 'chroot DIR')"
                                : "");
    }
    if (mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755") != 0) return fail("tmpfs on /mnt");
    const std::string run = fresh_run();
    return run.empty() ? private_dev() : run;
}

// The one place that knows each architecture's registers: how a stopped system call is left
// unmade, at its entry, and given a result, at its exit.
#if defined(__x86_64__)
void skip_call(pid_t pid) {
    ptrace(PTRACE_POKEUSER, pid, offsetof(user_regs_struct, orig_rax), -1L);
}
void set_result(pid_t pid, long value) {
    ptrace(PTRACE_POKEUSER, pid, offsetof(user_regs_struct, rax), value);
}
#elif defined(__aarch64__)
}  // namespace
#include <elf.h>
namespace {
void skip_call(pid_t pid) {
    int nr = -1;
    iovec io{&nr, sizeof nr};
    ptrace(PTRACE_SETREGSET, pid, NT_ARM_SYSTEM_CALL, &io);
}
void set_result(pid_t pid, long value) {
    user_regs_struct regs{};
    iovec io{&regs, sizeof regs};
    ptrace(PTRACE_GETREGSET, pid, NT_PRSTATUS, &io);
    regs.regs[0] = static_cast<unsigned long long>(value);
    ptrace(PTRACE_SETREGSET, pid, NT_PRSTATUS, &io);
}
#else
// Unknown here: no test that needs them runs (see NEEDS_KNOWN_CALLS).
void skip_call(pid_t) {}
void set_result(pid_t, long) {}
#endif

std::string read_all(int fd) {
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

// Reads up to and including the first newline of `fd`, one byte at a time so as to take no more.
std::string read_line(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

// Reads `len` bytes (or up to a NUL when `len` is 0) of the tracee's memory at `addr`.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): where, then how much, as read(2)
std::string peek(pid_t pid, unsigned long long addr, size_t len) {
    std::string out;
    for (size_t max = len ? len : 4096; out.size() < max; addr += sizeof(long)) {
        errno = 0;
        const long word = ptrace(PTRACE_PEEKDATA, pid, addr, nullptr);
        if (errno != 0) break;
        const auto* bytes = reinterpret_cast<const char*>(&word);
        for (size_t i = 0; i < sizeof word && out.size() < max; ++i) {
            if (!len && bytes[i] == '\0') return out;
            out += bytes[i];
        }
    }
    return out;
}

// The path argument of a call that takes one second, or the first buffer of a write.
std::string call_text(pid_t pid, const __ptrace_syscall_info& info) {
    const auto* a = info.entry.args;
    switch (info.entry.nr) {
        case SYS_openat:
        case SYS_openat2:
        case SYS_newfstatat:
        case SYS_fchownat:
        case SYS_fchmodat:
        case SYS_unlinkat:
            return peek(pid, a[1], 0);
        case SYS_write:
            return peek(pid, a[1], a[2]);
        case SYS_writev: {
            const std::string iov = peek(pid, a[1], 2 * sizeof(long));
            unsigned long long base = 0, size = 0;
            std::memcpy(&base, iov.data(), sizeof base);
            std::memcpy(&size, iov.data() + sizeof base, sizeof size);
            return peek(pid, base, size);
        }
        default:
            return {};
    }
}

// Drives the traced tool, stopped before its exec, to its end, springing `traps` on the way with
// what it has written so far to `output`; returns its wait status.
int trace(pid_t pid, const std::vector<Trap>& traps,
          const std::function<const std::string&()>& output) {
    int status = 0;
    waitpid(pid, &status, 0);
    // Every value goes through ptrace's variadic arguments at the width of a long.
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           static_cast<long>(PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL));
    std::vector<int> seen(traps.size(), 0);
    bool in_tool = false;  // past the exec of the tool itself, not of the launchers before it
    long call = -1;
    std::string text;  // of the call entered last
    int fail = 0;
    bool pretend = false;
    int signal = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, static_cast<long>(signal));
        signal = 0;
        if (waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
            in_tool = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe") == tool;
            continue;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status);
            continue;
        }
        __ptrace_syscall_info info{};
        ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
        const bool at_exit = info.op == PTRACE_SYSCALL_INFO_EXIT;
        if (at_exit && (fail != 0 || pretend)) {
            // The call failed as asked (or, failed before, was never made), or was never made
            // and succeeds.
            set_result(pid, -static_cast<long>(fail));
            fail = 0;
            pretend = false;
        }
        if (!at_exit && info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
        if (!at_exit) {
            call = static_cast<long>(info.entry.nr);
            const bool wanted = std::any_of(traps.begin(), traps.end(),
                                            [&](const Trap& t) { return t.call == call; });
            text = in_tool && wanted ? call_text(pid, info) : std::string();
        }
        if (!in_tool) continue;
        for (size_t i = 0; i < traps.size(); ++i) {
            const Trap& t = traps[i];
            if (t.call != call || t.at_exit != at_exit) continue;
            if (!t.text.empty() && t.text != text) continue;
            if (++seen[i] != t.nth) continue;
            Stop stop{pid, call, at_exit, text, output()};
            t.act(stop);
            if ((stop.fail != 0 || stop.pretend) && !at_exit) skip_call(pid);
            if (stop.fail != 0 && at_exit) {
                set_result(pid, -static_cast<long>(stop.fail));
            } else {
                fail = stop.fail;
                pretend = stop.pretend && !at_exit;
            }
        }
    }
    for (size_t i = 0; i < traps.size(); ++i) {
        if (seen[i] < traps[i].nth) {
            ADD_FAILURE() << "trap " << i << " (call " << traps[i].call << " \"" << traps[i].text
                          << "\") met " << seen[i] << " of " << traps[i].nth << " times";
        }
    }
    return status;
}

}  // namespace

void E2E::SetUp() {
    if (!namespace_error.empty()) {
        // Root can make the namespace unless the machine is set up wrongly, which must show.
        if (geteuid() == 0) FAIL() << "as root this must run: " << namespace_error;
        if (under_ci()) FAIL() << "under CI this must run: " << namespace_error;
        GTEST_SKIP() << namespace_error;
    }
    const std::string error = fresh_mnt() + fresh_run();
    ASSERT_EQ(error, "");
}

RunResult run(const Caller& caller, const std::vector<std::string>& args, const RunOptions& opt) {
    RunResult r;
    const int out = memfd_create("out", MFD_CLOEXEC);
    const int err = opt.merged ? out : memfd_create("err", MFD_CLOEXEC);
    int pipe_fds[2] = {-1, -1};
    const bool piped = opt.output == Output::one_line || opt.output == Output::pipe ||
                       opt.output == Output::stalled;
    if (piped) {
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return r;
        }
        // Room for the whole report, read as the tool goes and once it has ended. Or one page:
        // the tool has to wait for the reader, and so outlives it.
        fcntl(pipe_fds[1], F_SETPIPE_SZ, opt.output == Output::pipe ? 1 << 20 : 4096);
    }
    const int terminal =
        opt.output == Output::terminal ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (opt.output == Output::terminal &&
        (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)) {
        ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
        return r;
    }
    const std::string terminal_name = terminal >= 0 ? ptsname(terminal) : "";
    // What the tool has written so far, read at each stop of a trap.
    const int reader = opt.output == Output::pipe ? pipe_fds[0] : terminal;
    if (reader >= 0) fcntl(reader, F_SETFL, O_NONBLOCK);
    std::string so_far;
    const auto drain = [&]() -> const std::string& {
        char buf[4096];
        for (ssize_t n; reader >= 0 && (n = read(reader, buf, sizeof buf)) > 0;) {
            so_far.append(buf, static_cast<size_t>(n));
        }
        return so_far;
    };
    std::vector<std::string> argv;
    if (!opt.refuse.empty()) argv = {QUORVANE_REFUSE_CALLS, opt.refuse};
    if (caller.uid != 0 || caller.gid != 0 || !caller.setpriv.empty()) {
        argv.insert(argv.end(), {"setpriv", "--reuid=" + std::to_string(caller.uid),
                                 "--regid=" + std::to_string(caller.gid), "--clear-groups"});
        argv.insert(argv.end(), caller.setpriv.begin(), caller.setpriv.end());
    }
    if (!opt.argv0.empty())
        argv.insert(argv.end(), {"bash", "-c", R"(exec -a "$0" "$@")", opt.argv0});
    argv.emplace_back(opt.plain ? plain_tool : tool);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // A tool that hangs is killed, and its test fails, rather than hanging the suite; the
        // timer outlives exec.
        alarm(opt.timeout);
        if (chdir(opt.cwd.c_str()) != 0) _exit(126);
        if (opt.nofile > 0) {
            const rlimit lim{
                static_cast<rlim_t>(opt.soft_nofile > 0 ? opt.soft_nofile : opt.nofile),
                static_cast<rlim_t>(opt.nofile)};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(126);
        }
        for (const auto& [resource, value] :
             {std::pair{RLIMIT_AS, opt.address_space}, {RLIMIT_FSIZE, opt.file_size}}) {
            const rlimit lim{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            if (value > 0 && setrlimit(resource, &lim) != 0) _exit(126);
        }
        int stdout_fd = out;
        if (opt.output == Output::file) {
            stdout_fd =
                open(opt.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        } else if (piped) {
            stdout_fd = pipe_fds[1];
        } else if (opt.output == Output::terminal) {
            stdout_fd = open(terminal_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios raw{};
            if (stdout_fd < 0 || tcgetattr(stdout_fd, &raw) != 0) _exit(126);
            cfmakeraw(&raw);
            if (tcsetattr(stdout_fd, TCSANOW, &raw) != 0) _exit(126);
        }
        if (dup2(err, 2) < 0) _exit(126);
        if (opt.ignored != 0) static_cast<void>(signal(opt.ignored, SIG_IGN));
        if (opt.output == Output::closed) {
            close(1);
        } else if (stdout_fd < 0 || dup2(stdout_fd, 1) < 0) {
            _exit(126);
        }
        // Exactly 3 to 2 + inherited: whatever this process held there is of no use to the tool,
        // and an earlier test's leftover must not change what the tool can open.
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        for (int i = 0; i < opt.inherited; ++i) {
            if (null < 0 || dup2(null, 3 + i) < 0) _exit(126);
        }
        for (int fd = 3 + opt.inherited; fd < 1024; ++fd) {
            if (fd != null) close(fd);
        }
        if (!opt.traps.empty()) {
#ifdef __SANITIZE_ADDRESS__
            // The leak checker cannot work in a traced process.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#endif
            if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0) _exit(126);
        }
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    std::string first_line;
    if (pipe_fds[1] >= 0) close(pipe_fds[1]);
    if (opt.output == Output::one_line) {
        first_line = read_line(pipe_fds[0]);
        close(pipe_fds[0]);
    }
    int status = 0;
    if (pid > 0 && !opt.traps.empty()) {
        status = trace(pid, opt.traps, drain);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    switch (opt.output) {
        case Output::one_line:
            r.out = first_line;
            break;
        case Output::pipe:
        case Output::stalled:
            r.out = drain() + read_all(pipe_fds[0]);
            close(pipe_fds[0]);
            break;
        case Output::terminal:
            // Once the tool has ended, the terminal gives what it holds, then EIO.
            r.out = drain() + read_all(terminal);
            close(terminal);
            break;
        case Output::file: {
            const int file = open(opt.output_file.c_str(), O_RDONLY | O_CLOEXEC);
            r.out = read_all(file);
            close(file);
            break;
        }
        default:
            r.out = read_all(out);
    }
    if (!opt.merged) r.err = read_all(err);
    close(out);
    if (!opt.merged) close(err);
    // A sanitizer build reports through standard error and a status a test may well expect.
    for (const std::string* text : {&r.out, &r.err}) {
        if (text->find("Sanitizer") != std::string::npos ||
            text->find("runtime error:") != std::string::npos) {
            ADD_FAILURE() << "sanitizer report from the tool:\n" << *text;
        }
    }
    return r;
}

Bystander::Bystander(const std::function<bool()>& setup) {
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
        if (!setup() || write(ready[1], "", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1) << "the bystander's setup failed";
    close(ready[0]);
}

Bystander::~Bystander() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

Bound::Bound(const std::string& source, const std::string& target) : target_(target) {
    ok_ = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    EXPECT_TRUE(ok_) << source << " over " << target << ": " << std::strerror(errno);
}

Bound::~Bound() {
    if (ok_) umount(target_.c_str());
}

SystemLog::SystemLog() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
        << "/dev/log: " << std::strerror(errno);
}

SystemLog::~SystemLog() {
    close(fd_);
    unlink("/dev/log");
}

std::vector<LogLine> SystemLog::take() const {
    std::vector<LogLine> got;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        // "<PRIORITY>Mmm dd hh:mm:ss TAG[PID]: MESSAGE", as syslog(3) sends it.
        const std::string text(buf, static_cast<size_t>(n));
        const size_t close = text.find('>'), open = text.find('[', close),
                     end = text.find("]: ", open);
        if (text[0] != '<' || close == std::string::npos || open == std::string::npos ||
            end == std::string::npos || open < close + 17) {
            ADD_FAILURE() << "not a syslog line: " << text;
            continue;
        }
        const int priority = std::stoi(text.substr(1, close - 1));
        got.push_back({priority >> 3, priority & 7, text.substr(close + 17, open - close - 17),
                       std::stol(text.substr(open + 1, end - open - 1)), text.substr(end + 3),
                       text.size()});
    }
    return got;
}

std::string mount_ext4(const std::string& dir) {
    const char* image = "/mnt/ext4.img";
    if (truncate(image, 0) != 0 && errno != ENOENT) return fail(image);
    const int made = open(image, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (made < 0 || ftruncate(made, 8 << 20) != 0) return fail(image);
    close(made);
    // Without hashed directories: entries are listed in the order they were made.
    // NOLINTNEXTLINE(cert-env33-c): a fixed command line, as root in the test's own namespace
    if (std::system("mkfs.ext4 -q -F -O ^dir_index /mnt/ext4.img >/dev/null 2>&1") != 0) {
        return "mkfs.ext4 /mnt/ext4.img failed (is e2fsprogs installed?)";
    }
    // The namespace's /dev has no loop devices: they are made as they are needed. Another test
    // may take the free one first: then the next is asked for.
    mknod("/dev/loop-control", S_IFCHR | 0600, makedev(10, 237));
    const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    const int file = open(image, O_RDWR | O_CLOEXEC);
    std::string loop;
    int dev = -1;
    bool bound = false;
    for (int tries = 0; control >= 0 && file >= 0 && !bound && tries < 10; ++tries) {
        const int n = ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0) break;
        loop = "/dev/loop" + std::to_string(n);
        mknod(loop.c_str(), S_IFBLK | 0600, makedev(7, static_cast<unsigned>(n)));
        if (dev >= 0) close(dev);
        dev = open(loop.c_str(), O_RDWR | O_CLOEXEC);
        bound = dev >= 0 && ioctl(dev, LOOP_SET_FD, file) == 0;
    }
    if (control >= 0) close(control);
    loop_info64 info{};
    info.lo_flags = LO_FLAGS_AUTOCLEAR;
    bound = bound && ioctl(dev, LOOP_SET_STATUS64, &info) == 0;
    const bool mounted = bound && mount(loop.c_str(), dir.c_str(), "ext4", 0, nullptr) == 0;
    std::string why = mounted ? "" : fail(("ext4 on " + loop).c_str());
    for (const int fd : {dev, file}) {
        if (fd >= 0) close(fd);
    }
    return why;
}

bool under_ci() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

std::string default_refusal() {
    const char* refuse = std::getenv("QUORVANE_REFUSE");
    return refuse ? refuse : "";
}

std::string usage_text() {
    return "Usage: ./quorvane [--uid <uid>] [--gid <gid>] [--setgid] <path>...\n"
           "Change the group of all provided files or directories to that of the specified "
           "uid/gid and ensure that the file or directory is group-writable. If --setgid is "
           "passed, also toggle the setgid bit on all visited directories (but not files). \n"
           "\n"
           "For security reasons this binary does not operate on symlinks and only operates on "
           "subdirectories of the following paths: \n"
           " - \"/mnt/data\"\n"
           " - \"/var/run/brelmont/mqx47\"\n"
           " - \"/run/lock\"\n"
           " - \"/wyr_data\"\n";
}

std::string help_text() {
    return "Usage: " QUORVANE_INSTALLED_AS
           " [--uid UID] [--gid GID] [--setgid] PATH...\n"
           "Hands each PATH, and everything below it, over to owner UID and group GID (by default\n"
           "your own): owner and group set, group-read added. With --setgid every directory is "
           "also\n"
           "made group-writable, group-searchable and set-group-ID; files only gain group-read.\n"
           "Symbolic links are reported, never changed or followed.\n"
           "Each PATH must be, or lie under, one of these roots:\n"
           " - \"/mnt/data\"\n"
           " - \"/var/run/brelmont/mqx47\"\n"
           " - \"/run/lock\"\n"
           " - \"/wyr_data\"\n"
           "Whoever may run it can take over any file under them, other users' too: as installed,\n"
           "only root and the members of group quorvane may run it.\n"
           "Each run is logged to the system log (authpriv, tag quorvane: journalctl -t "
           "quorvane).\n"
           "More, the exit status among it: man quorvane\n";
}

Meta meta(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        ADD_FAILURE() << "lstat " << path << ": " << std::strerror(errno);
        return {0, 0, 0};
    }
    return {st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

timespec changed_at(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    // File times move by the clock's coarse tick.
    usleep(20000);
    return st.st_ctim;
}

bool operator==(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::ostream& operator<<(std::ostream& os, const timespec& t) {
    return os << t.tv_sec << "." << t.tv_nsec;
}

std::ostream& operator<<(std::ostream& os, const Meta& m) {
    return os << m.uid << ':' << m.gid << " 0" << std::oct << m.mode << std::dec;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): as chmod(1) and chown(1) take them
void make_file(const std::string& path, mode_t mode, uid_t uid, gid_t gid) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);
    ASSERT_EQ(lchown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): as chmod(1) and chown(1) take them
void make_dir(const std::string& path, mode_t mode, uid_t uid, gid_t gid) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(lchown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void make_link(const std::string& target, const std::string& path, uid_t uid, gid_t gid) {
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(lchown(path.c_str(), uid, gid), 0) << path;
}

void make_chain(const std::string& base, const std::string& name, int levels,
                const std::vector<std::string>& files) {
    int fd = open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; ++i) {
        for (size_t k = 0; k < files.size(); ++k) {
            if (k == files.size() / 2) {
                ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0) << i;
            }
            const int f = openat(fd, files[k].c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            ASSERT_GE(f, 0);
            close(f);
        }
        if (files.empty()) {
            ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0) << i;
        }
        const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    close(fd);
}

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    return names;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string lines_of(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& l : v) out += l + "\n";
    return out;
}

void expected_walk(const std::string& path, std::vector<std::string>& out,
                   std::vector<std::string>* paths) {
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    if (paths) paths->push_back(path);
    if (S_ISLNK(st.st_mode)) {
        out.push_back("\"" + path + "\" is a symlink, not modifying permission");
        return;
    }
    out.push_back(updated(path));
    if (!S_ISDIR(st.st_mode)) return;
    auto names = listing(path);
    std::reverse(names.begin(), names.end());
    for (const auto& n : names) {
        std::string child = path;
        child += '/';
        expected_walk(child += n, out, paths);
    }
}

std::string updated(const std::string& path) {
    return "Updated ownership and permissions for \"" + path + "\"";
}

std::string refusal(const std::string& quoted) {
    return "Error: path " + quoted + " is not an allowed path.\n" + usage_text();
}

std::string status_line(const std::string& path, const std::string& why) {
    return "Failed to get status of \"" + path + "\": filesystem error: symlink_status: " + why +
           " [" + path + "]\n";
}

Trap open_beneath_trap(const std::string& path, std::function<void(Stop&)> act) {
    if (default_refusal().find("openat2=") != std::string::npos) {
        return {SYS_openat, path.substr(0, path.find('/')), 1, false, std::move(act)};
    }
    return {SYS_openat2, path, 1, false, std::move(act)};
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // A whole run with calls refused (see tests/CMakeLists.txt) proves nothing where they cannot
    // be refused.
    if (!calls_known && !default_refusal().empty()) {
        std::puts("refuse_calls does not know this architecture: nothing to prove");
        return under_ci() ? 1 : 77;
    }
    if (!::testing::GTEST_FLAG(list_tests)) namespace_error = enter_namespace();
    return RUN_ALL_TESTS();
}
