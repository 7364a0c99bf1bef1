// The audit lines, sent to the system log.
#include "audit.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "report.h"

namespace {

// A line longer than this may be dropped by a system log (rsyslog keeps 8 KiB): the paths
// continue on further lines.
constexpr size_t longest_line = 4000;

// The caller, as every line names him; looked up once.
const std::string& caller() {
    static const std::string name = [] {
        const uid_t uid = getuid();
        passwd pw{};
        passwd* found = nullptr;
        char buf[4096];
        const bool known = getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found;
        return audit_caller(known ? found->pw_name : nullptr, uid);
    }();
    return name;
}

void log(int priority, const std::string& line) {
    static const bool opened = [] {
        openlog("quorvane", LOG_PID, LOG_AUTHPRIV);
        return true;
    }();
    static_cast<void>(opened);
    syslog(priority, "%s", line.c_str());
}

}  // namespace

void audit_start(int32_t uid, int32_t gid, bool sgid,
                 const std::vector<std::filesystem::path>& paths) {
    std::string line = audit_start_line(caller(), uid, gid, sgid);
    for (const auto& path : paths) {
        const std::string quoted = quote_path(path.native());
        if (line.size() + 1 + quoted.size() > longest_line && line.back() == '"') {
            log(LOG_NOTICE, line);
            line = audit_more_paths_line(caller());
        }
        line += ' ';
        line += quoted;
    }
    log(LOG_NOTICE, line);
}

void audit_end(long visited, int failures, int signal) {
    log(failures > 0 ? LOG_WARNING : LOG_NOTICE,
        audit_end_line(caller(), visited, failures, signal));
}

void audit_refusal(std::string_view reason) {
    log(LOG_WARNING, audit_refusal_line(caller(), reason));
}
