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

#include "audit.h"
#include "dir_stack.h"
#include "interruption.h"
#include "kernel_calls.h"
#include "path_admission.h"
#include "permission_repair.h"
#include "report.h"
#include "result.h"

namespace {

// Long options without a letter of their own.
constexpr int help_option = 0x100;
constexpr int version_option = 0x101;

const option longopts[] = {
    {"uid", required_argument, nullptr, 'u'},
    {"gid", required_argument, nullptr, 'g'},
    {"setgid", no_argument, nullptr, 's'},
    {"help", no_argument, nullptr, help_option},
    {"version", no_argument, nullptr, version_option},
    {nullptr, 0, nullptr, 0},
};

// The short options; "-?" is handled as the one refused option that gets no complaint, and the
// leading ':' tells a missing argument from an unknown option.
constexpr const char* shortopts = ":hu:g:s";

// Prints the usage text to `say`.
void usage(void (*say)(std::string_view) = say_err) {
    for (const std::string& line : usage_lines(allowed_paths)) say(line);
}

// Prints the usage text to `say` and ends the process with `status`.
[[noreturn]] void usage_and_exit(void (*say)(std::string_view), int status) {
    usage(say);
    report_flush();
    std::exit(status);
}

// The long option whose value is `val`.
const char* long_name(int val) {
    for (const option& o : longopts) {
        if (o.val == val) return o.name;
    }
    return "";
}

// The parser's complaint about the option it has just refused (`c` is ':' for a missing argument,
// '?' otherwise), in the words of the C library, but with the tool's own name and the option's
// text escaped; empty for "-?". A long option is always a word of its own, the last one taken.
std::string complaint(int c, char** argv) {
    const std::string_view word = argv[optind - 1];
    const bool long_word = word.size() > 2 && word.substr(0, 2) == "--";
    const char letter = static_cast<char>(optopt);
    if (c == ':') {
        return long_word ? bad_option(BadOption::needs_argument, long_name(optopt))
                         : bad_option(BadOption::short_needs_argument, {&letter, 1});
    }
    if (optopt == '?') return {};
    if (optopt == 0) return bad_option(BadOption::unrecognized, word);
    if (long_word && *long_name(optopt) != '\0') {
        return bad_option(BadOption::takes_no_argument, long_name(optopt));
    }
    return bad_option(BadOption::invalid, {&letter, 1});
}

// An id: -1, or a decimal number from 0 to 4294967295, which is (uid_t)-1 and so -1 too, after
// leading blanks and a sign. Anything else, a name above all, would have read as 0 (root) or as
// the digits it starts with, and fails with EINVAL; a number beyond that range, which would have
// been cut or saturated into some other id, fails with ERANGE. Names are not looked up.
Result<int32_t> read_id(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return failure(EINVAL);
    uint64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(*p - '0'), UINT64_C(1) << 33);
    }
    if (*p != '\0') return failure(EINVAL);
    if (value > UINT32_MAX || (negative && value > 1)) return failure(ERANGE);
    return negative ? -static_cast<int32_t>(value)
                    : static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Prints the refusal of the command line and logs it; returns 1, the status of a refusal.
int refuse(const std::string& line, const std::string& logged) {
    audit_refusal(logged);
    say_err(line);
    return 1;
}

// Reads the id of option `which` ("uid" or "gid") into `id`, which the caller may change only
// from 0 (root) or to its own value. Returns 0, or 1 when refused (the message printed).
int take_id(const char* which, const char* text, int32_t& id) {
    const Result<int32_t> wanted = read_id(text);
    if (!wanted) {
        const std::string line =
            wanted.err == ERANGE ? id_out_of_range(which, text) : id_not_a_number(which, text);
        return refuse(line, line);
    }
    if (id != 0 && id != *wanted) {
        const std::string line = foreign_id(which);
        return refuse(line, line);
    }
    id = *wanted;
    return 0;
}

// Returns 0 when the run may go ahead, 1 when it is refused; help and bad options end the process.
int options(int argc, char** argv, std::vector<Argument>& paths, Target& target,
            const std::vector<Root>& roots) {
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, shortopts, longopts, nullptr)) != -1) {
        switch (c) {
            case 'u':
                if (take_id("uid", optarg, target.uid) != 0) return 1;
                break;
            case 'g':
                if (take_id("gid", optarg, target.gid) != 0) return 1;
                break;
            case 's':
                target.sgid = true;
                break;
            case 'h':
                usage_and_exit(say_err, 0);
            case help_option:
                for (const std::string& line : help_lines(allowed_paths)) say_out(line);
                report_flush();
                std::exit(0);
            case version_option:
                say_out(version_line());
                report_flush();
                std::exit(0);
            default:
                if (const std::string line = complaint(c, argv); !line.empty()) say_err(line);
                usage_and_exit(say_err, 1);
        }
    }
    for (int i = optind; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        const Result<Admission> adm = admit(path, roots);
        if (!adm) {
            const std::string line = path_not_allowed(path.native());
            std::string logged = line;
            const Root* aside = adm.err == EXDEV ? set_aside_root(path, roots) : nullptr;
            if (aside) {
                const std::string warning =
                    root_set_aside(aside->written.native(), aside->set_aside);
                say_err(warning);
                logged += " " + warning;
            }
            refuse(line, logged);
            usage();
            return 1;
        }
        paths.push_back({path, *adm});
    }
    return 0;
}

int run(int argc, char** argv) {
    // Before anything is opened, so that nothing takes the place of a standard stream and nothing
    // runs short of descriptors the caller's hard limit would allow.
    keep_standard_streams_open();
    raise_open_file_limit();
    // Judged once, before any argument, and held: a root is reached through these alone.
    const std::vector<Root> roots = open_roots(allowed_paths);
    std::vector<Argument> paths;
    // The real ids: the caller, not the set-user-ID owner, decides what may be asked for.
    Target target{static_cast<int32_t>(getuid()), static_cast<int32_t>(getgid())};
    int ret = options(argc, argv, paths, target, roots);
    if (ret != 0) return ret;
    const Kernel kernel = probe_kernel();
    // A reader that leaves, or a report file at its size limit, must not stop the hand-over
    // half-way; lost lines are counted instead. Cannot fail: the signals are valid and may be
    // ignored.
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
    static_cast<void>(signal(SIGXFSZ, SIG_IGN));
    catch_interruptions();
    audit_start(target, paths);
    TreeWalk walk(kernel, paths, roots);
    const Tally done = repair_all(kernel, walk, target);
    ret = done.failures + report_write_failures();
    const int sig = settle_interruption();
    audit_end(done.visited, ret, sig);
    if (sig) end_by(sig);
    // The platform keeps only the status's low 8 bits: 256 failures must not read as success.
    return std::min(ret, 255);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // Unwinding has released the walk's memory and descriptors; this line needs neither.
        say_err(out_of_memory());
        return 255;
    }
}
