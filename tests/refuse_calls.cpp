// A launcher that makes chosen system calls fail, as an older kernel or a container's seccomp
// profile does, for the program it runs and everything that program runs.
// Usage (as root): refuse_calls NAME=ERRNO[,NAME=ERRNO...] PROGRAM [ARG...]
// NAME is openat2, close_range or fchmodat2; ERRNO is ENOSYS or EPERM. As root the filter is
// installed without no_new_privs, so that a set-user-ID program it runs still gains its owner's
// rights, as it does inside a container; anyone else gets no_new_privs, which the kernel demands.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// The architecture whose calls it refuses: their numbers below are the same on both.
#if defined(__x86_64__)
constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned arch = 0;
#endif

int main(int argc, char** argv) {
    const auto fail = [&](const std::string& why) {
        static_cast<void>(std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str()));
        return 126;
    };
    if (argc < 3) return fail("usage: NAME=ERRNO[,NAME=ERRNO...] PROGRAM [ARG...]");
    // Anywhere else it could refuse nothing, and what it runs would prove nothing: it fails, or,
    // outside CI, ends as skipped (77).
    if (arch == 0) {
        const char* ci = std::getenv("CI");
        fail("does not know this architecture's system calls");
        return ci && std::string(ci) == "true" ? 126 : 77;
    }
    const std::map<std::string, unsigned> numbers = {
        {"close_range", 436}, {"openat2", 437}, {"fchmodat2", 452}};
    const std::map<std::string, unsigned> errors = {{"ENOSYS", ENOSYS}, {"EPERM", EPERM}};

    std::vector<sock_filter> prog = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    std::string spec = argv[1];
    for (size_t start = 0; start < spec.size();) {
        size_t end = spec.find(',', start);
        if (end == std::string::npos) end = spec.size();
        const std::string item = spec.substr(start, end - start);
        start = end + 1;
        const size_t eq = item.find('=');
        const auto nr = numbers.find(item.substr(0, eq));
        const auto err = eq == std::string::npos ? errors.end() : errors.find(item.substr(eq + 1));
        if (nr == numbers.end() || err == errors.end()) return fail("cannot refuse '" + item + "'");
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr->second, 0, 1));
        prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | err->second));
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

    const sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
    if (geteuid() != 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return fail(std::string("no_new_privs: ") + std::strerror(errno));
    }
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0) {
        return fail(std::string("seccomp: ") + std::strerror(errno));
    }
    execvp(argv[2], argv + 2);
    fail(std::string(argv[2]) + ": " + std::strerror(errno));
    return 127;
}
