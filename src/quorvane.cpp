// Entry point: reads the command line, admits its paths and hands the run to the repair walk.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "interruption.h"
#include "kernel_calls.h"
#include "path_admission.h"
#include "permission_repair.h"
#include "report.h"
#include "result.h"

namespace {

const option longopts[] = {
    {"uid", required_argument, nullptr, 'u'},
    {"gid", required_argument, nullptr, 'g'},
    {"setgid", no_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

void usage() {
    for (const std::string& line : usage_lines(allowed_paths)) say_err(line);
}

// An id as atoi reads it (leading blanks, a sign, digits, cut to 32 bits, so that 4294967295 is
// -1), when that is all the text holds: anything else, a name above all, would read as 0 (root)
// or as the digits it starts with, and fails with EINVAL. Names are not looked up.
Result<int32_t> read_id(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return failure<int32_t>(EINVAL);
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p != '\0') return failure<int32_t>(EINVAL);
    return {std::atoi(text), 0};  // NOLINT(cert-err34-c): checked above; the cut is atoi's own
}

// Reads the id of option `which` ("uid" or "gid") into `id`, which the caller may change only
// from 0 (root) or to its own value. Returns 0, or 1 when refused (the message printed).
int take_id(const char* which, const char* text, int32_t& id) {
    const Result<int32_t> wanted = read_id(text);
    if (!wanted) return fail(id_not_a_number(which, text));
    if (id != 0 && id != *wanted) return fail(foreign_id(which));
    id = *wanted;
    return 0;
}

// Returns 0 when the run may go ahead, 1 when it is refused; help and bad options end the process.
int options(int argc, char** argv, std::vector<std::filesystem::path>& paths, int32_t& uid,
            int32_t& gid, bool& sgid, const std::vector<Root>& roots) {
    int c;
    while ((c = getopt_long(argc, argv, "?hu:g:s", longopts, nullptr)) != -1) {
        switch (c) {
            case 'u':
                if (take_id("uid", optarg, uid) != 0) return 1;
                break;
            case 'g':
                if (take_id("gid", optarg, gid) != 0) return 1;
                break;
            case 's':
                sgid = true;
                break;
            default:
                usage();
                std::exit(c == 'h' ? 0 : 1);
        }
    }
    for (int i = optind; i < argc; ++i) {
        paths.emplace_back(argv[i]);
        const Result<Admission> adm = admit(paths.back(), roots);
        if (!adm) {
            if (adm.err == EXDEV && adm->root) {
                say_err(root_set_aside(adm->root->written.native(), adm->root->set_aside));
            }
            say_err(path_not_allowed(paths.back().native()));
            usage();
            return 1;
        }
    }
    return 0;
}

int run(int argc, char** argv) {
    std::vector<std::filesystem::path> paths;
    // The real ids: the caller, not the set-user-ID owner, decides what may be asked for.
    auto uid = static_cast<int32_t>(getuid());
    auto gid = static_cast<int32_t>(getgid());
    bool sgid = false;
    // Judged once, before any argument, and held: a root is reached through these alone.
    const std::vector<Root> roots = open_roots(allowed_paths);
    int ret = options(argc, argv, paths, uid, gid, sgid, roots);
    if (ret != 0 || paths.empty()) return ret;
    // A reader that leaves, or a report file at its size limit, must not stop the hand-over
    // half-way; lost lines are counted instead. Cannot fail: the signals are valid and may be
    // ignored.
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    catch_interruptions();
    // Decided while descriptors are still plentiful.
    const Kernel kernel = probe_kernel();
    ret = repair_all(kernel, paths, uid, gid, sgid, roots);
    ret += report_write_failures();
    if (const int sig = interruption()) end_by(sig);
    // The platform keeps only the status's low 8 bits: 256 failures must not read as success.
    return std::min(ret, 255);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // Unwinding has released the walk's memory and descriptors; this line needs neither.
        static_cast<void>(fail(out_of_memory()));
        return 255;
    }
}
