// Runs the real, set-user-ID binary in a private mount namespace and inspects what it did.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

/// Who runs the tool: real ids, and extra setpriv(1) options (for example a bounding set).
struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<std::string> setpriv;
};

/// The system calls every run makes fail: $QUORVANE_REFUSE, empty when unset.
std::string default_refusal();

/// Where the tool's standard output goes.
enum class Output {
    captured,  ///< into RunResult::out
    closed,    ///< descriptor 1 closed
    file,      ///< RunOptions::output_file, created or truncated
    one_line,  ///< a small pipe whose reader leaves after one line, kept in RunResult::out
    pipe,      ///< a pipe that holds the whole report, kept in RunResult::out
    stalled,   ///< a pipe of one page that nobody reads until the tool has ended
    terminal,  ///< a pseudo-terminal in raw mode, kept in RunResult::out
};

/// Where a Trap stopped the tool, and what may be done to it there.
struct Stop {
    pid_t pid;         ///< the tool, stopped
    long call;         ///< system call number
    bool at_exit;      ///< after the call (its result set) rather than before it
    std::string text;  ///< the path argument, or the first buffer written
    std::string out;   ///< what the tool has written so far to a terminal or Output::pipe
    int fail = 0;      ///< set to an error number to make the call fail with it (before: unmade)
    bool pretend = false;  ///< set before the call to have it succeed without being made
};

/// Stops the tool at the `nth` time it enters (or leaves) system call `call` with `text` as its
/// path argument (or first buffer written; empty matches any), and runs `act` there while the tool
/// waits: the deterministic way to change the tree at the moment a race would. A trap that never
/// fires fails the test.
struct Trap {
    long call;
    std::string text;
    int nth = 1;
    bool at_exit = false;
    std::function<void(Stop&)> act;
};

/// How to run it beyond the caller.
struct RunOptions {
    std::string cwd = "/";  ///< working directory of the tool
    bool merged = false;    ///< standard error into the same capture as standard output
    long nofile = 0;        ///< when positive, soft and hard open-file limit
    long soft_nofile = 0;   ///< when positive, the soft open-file limit alone, below `nofile`
    Output output = Output::captured;
    std::string output_file = {};  ///< for Output::file
    long address_space = 0;        ///< when positive, soft and hard address-space limit in bytes
    long file_size = 0;            ///< when positive, soft and hard file-size limit in bytes
    /// System calls made to fail, as refuse_calls takes them ("fchmodat2=EPERM,..."); by default
    /// those of $QUORVANE_REFUSE, so that a whole run can play an older kernel or a container.
    std::string refuse = default_refusal();
    std::vector<Trap> traps = {};  ///< when any, the tool runs under ptrace(2) from this process
    int inherited = 0;             ///< descriptors it starts with open, beyond 0, 1 and 2
    std::string argv0 = {};        ///< when set, the name it is run under
    int ignored = 0;               ///< when set, a signal it starts with ignored, as nohup(1) does
    bool plain = false;            ///< the copy without the set-user-ID bit, as on a nosuid mount
    unsigned timeout = 600;        ///< seconds before a tool that hangs is killed
};

/// What a run produced.
struct RunResult {
    int status = -1;  ///< exit status, or 128 + signal
    std::string out;  ///< standard output (both streams when merged), wherever it went
    std::string err;  ///< standard error (empty when merged)
};

/// A line the tool sent to the system log.
struct LogLine {
    int facility;
    int severity;
    std::string tag;
    long pid;
    std::string message;
    size_t size;  ///< of the whole datagram, syslog(3)'s header included
};

/// A system log of the test's own at /dev/log, on the namespace's private /dev, for as long as it
/// lives.
class SystemLog {
  public:
    SystemLog();
    ~SystemLog();
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;
    /// The lines that arrived since the last call, in order.
    std::vector<LogLine> take() const;

  private:
    int fd_;
};

/// Another process of the test's own: it runs `setup` (as root; it may change its ids or its
/// descriptors), then waits until the object goes out of scope. A setup that fails fails the test.
class Bystander {
  public:
    explicit Bystander(const std::function<bool()>& setup);
    ~Bystander();
    Bystander(const Bystander&) = delete;
    Bystander& operator=(const Bystander&) = delete;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_;
};

/// Binds `source` over `target` for as long as it lives; the namespace keeps the host unaffected.
class Bound {
  public:
    Bound(const std::string& source, const std::string& target);
    ~Bound();
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

  private:
    std::string target_;
    bool ok_ = false;
};

/// The set-user-ID root copy of the tool on the namespace's private tmpfs, and a plain copy.
extern const char* const tool;
extern const char* const plain_tool;

/// The test users: an unprivileged caller, another user and an attacker.
constexpr uid_t alice = 1000, bob = 1001, mallory = 1002;

/// The callers: root; alice and the attacker, each with his own group; and root without the
/// capabilities that let him read and search every directory.
inline const Caller root{0, 0, {}};
inline const Caller user{alice, alice, {}};
inline const Caller attacker{mallory, mallory, {}};
inline const Caller blind{0, 0, {"--bounding-set=-dac_override,-dac_read_search"}};

/// Runs the tool with `args` as `caller`. Never throws.
RunResult run(const Caller& caller, const std::vector<std::string>& args,
              const RunOptions& opt = {});

/// The exact usage text, every line ended by a newline.
std::string usage_text();

/// What --help prints, every line ended by a newline.
std::string help_text();

/// Owner, group and permission bits (07777) of `path`, not following a final link.
struct Meta {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const Meta& o) const { return uid == o.uid && gid == o.gid && mode == o.mode; }
};
Meta meta(const std::string& path);

/// When the status of `path` (not following a final link) last changed, once the clock has moved
/// on past it, so that any later change shows.
timespec changed_at(const std::string& path);
bool operator==(const timespec& a, const timespec& b);
std::ostream& operator<<(std::ostream& os, const timespec& t);
std::ostream& operator<<(std::ostream& os, const Meta& m);

/// Makes a regular file, a directory or a symbolic link with the given owner and mode (exactly,
/// whatever the umask). Parents must exist. Failures abort the test.
void make_file(const std::string& path, mode_t mode, uid_t uid = 0, gid_t gid = 0);
void make_dir(const std::string& path, mode_t mode, uid_t uid = 0, gid_t gid = 0);
void make_link(const std::string& target, const std::string& path, uid_t uid = 0, gid_t gid = 0);

/// Makes `levels` nested directories named `name` under `base`, with `files` in each level (the
/// next level among them, in the middle), through descriptors, so that depth is not limited by
/// the length of a path. Owned by root, directories 0700, files 0600.
void make_chain(const std::string& base, const std::string& name, int levels,
                const std::vector<std::string>& files);

/// The names in `dir` in the platform's listing order, without "." and "..".
std::vector<std::string> listing(const std::string& dir);

/// The lines of `text`, without their newlines.
std::vector<std::string> lines(const std::string& text);

/// `v` as text, each line ended by a newline.
std::string lines_of(const std::vector<std::string>& v);

/// Appends the lines a walk of `path` prints, in order, to `out`, and the paths to `paths`: a
/// directory right after its listing, its entries in reverse listing order, links reported on
/// standard error. The names must need no escape.
void expected_walk(const std::string& path, std::vector<std::string>& out,
                   std::vector<std::string>* paths = nullptr);

/// "Updated ownership and permissions for " + `path` in double quotes; it must need no escape.
std::string updated(const std::string& path);

/// The refusal of a path shown as `quoted`, followed by the usage text.
std::string refusal(const std::string& quoted);

/// The line for a path, which must need no escape, that failed at its status read because of
/// `why`, with its newline.
std::string status_line(const std::string& path, const std::string& why);

/// A trap at the open of `path` beneath a held directory: at openat2(2), or, where the run refuses
/// openat2, at the open of its first name, the names being opened one at a time.
Trap open_beneath_trap(const std::string& path, std::function<void(Stop&)> act);

/// Mounts a new ext4 file system of 8 MiB, made by mkfs.ext4(8) in a file under /mnt, at `dir`,
/// through a loop device that goes when it is unmounted. Its directories list their entries in the
/// order they were made. Returns why it could not, or "".
std::string mount_ext4(const std::string& dir);

/// Whether the suite runs under CI=true, where nothing may be passed over.
bool under_ci();

/// Whether the harness knows this architecture's system calls: its registers for the traps, and
/// its audit number for tests/refuse_calls, which refuses calls only where it knows them.
#if defined(__x86_64__) || defined(__aarch64__)
constexpr bool calls_known = true;
#else
constexpr bool calls_known = false;
#endif

/// At the start of a test that stops the tool with traps or refuses it system calls: on an
/// architecture whose calls the harness does not know, it fails under CI=true and is skipped,
/// with the reason, elsewhere; never a pass that proved nothing.
#define NEEDS_KNOWN_CALLS()                                                               \
    do {                                                                                  \
        if (!calls_known) {                                                               \
            if (under_ci()) FAIL() << "the trap harness does not know this architecture"; \
            GTEST_SKIP() << "the trap harness does not know this architecture's calls";   \
        }                                                                                 \
    } while (false)

/// Base of every end-to-end test: needs root (a skip under CI=true is a failure) and starts from
/// an empty /mnt/data and /mnt/outside, both owned by root with mode 0755, and an empty /run with
/// an empty /run/lock (mode 1777).
class E2E : public ::testing::Test {
  protected:
    void SetUp() override;
};
