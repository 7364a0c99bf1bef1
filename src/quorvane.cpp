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
#include <optional>
#include <string>
#include <vector>

#include "path_admission.h"
#include "permission_repair.h"
#include "report.h"

namespace {

const option longopts[] = {
    {"uid", required_argument, nullptr, 'u'},
    {"gid", required_argument, nullptr, 'g'},
    {"setgid", no_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

void usage() {
    say_err("Usage: ./quorvane [--uid <uid>] [--gid <gid>] [--setgid] <path>...");
    say_err(
        "Change the group of all provided files or directories to that of "
        "the specified uid/gid and ensure that the file or directory is "
        "group-writable. If --setgid is passed, also toggle the setgid bit "
        "on all visited directories (but not files). ");
    say_err("");
    say_err(
        "For security reasons this binary does not operate on symlinks "
        "and only operates on subdirectories of the following paths: ");
    for (const auto& root : allowed_paths) say_err(" - " + quote_path(root.native()));
}

// An id as atoi reads it (leading blanks, a sign, digits, cut to 32 bits, so that 4294967295 is
// -1), when that is all the text holds: anything else, a name above all, would read as 0 (root)
// or as the digits it starts with. Names are not looked up.
std::optional<int32_t> read_id(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return std::nullopt;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p != '\0') return std::nullopt;
    return std::atoi(text);  // NOLINT(cert-err34-c): checked above; the cut is atoi's own
}

// Returns 0 when the run may go ahead, 1 when it is refused; help and bad options end the process.
int options(int argc, char** argv, std::vector<std::filesystem::path>& paths, int32_t& uid,
            int32_t& gid, bool& sgid, const std::vector<Root>& roots) {
    int c;
    while ((c = getopt_long(argc, argv, "?hu:g:s", longopts, nullptr)) != -1) {
        switch (c) {
            case 'u': {
                const std::optional<int32_t> newUid = read_id(optarg);
                if (!newUid) {
                    say_err("Error: uid " + quote_path(optarg) + " is not a decimal number");
                    return 1;
                }
                if (uid != 0 && uid != *newUid) {
                    say_err("Error: can only set foreign uid as root");
                    return 1;
                }
                uid = *newUid;
                break;
            }
            case 'g': {
                const std::optional<int32_t> newGid = read_id(optarg);
                if (!newGid) {
                    say_err("Error: gid " + quote_path(optarg) + " is not a decimal number");
                    return 1;
                }
                if (gid != 0 && gid != *newGid) {
                    say_err("Error: can only set foreign gid as root");
                    return 1;
                }
                gid = *newGid;
                break;
            }
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
                say_err("Warning: root " + quote_path(adm->root->written.native()) +
                        " is not used: " + adm->root->set_aside);
            }
            say_err("Error: path " + quote_path(paths.back().native()) +
                    " is not an allowed path.");
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
    if (ret != 0) return ret;
    // A reader that leaves, or a report file at its size limit, must not stop the hand-over
    // half-way; lost lines are counted instead. Cannot fail: the signals are valid and may be
    // ignored.
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    ret = repair_all(paths, uid, gid, sgid, roots);
    ret += report_write_failures();
    // The platform keeps only the status's low 8 bits: 256 failures must not read as success.
    return std::min(ret, 255);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // Unwinding has released the walk's memory and descriptors; this line needs neither.
        say_err("Failed to finish the run: out of memory");
        return 255;
    }
}
