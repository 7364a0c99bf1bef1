// The audit lines, sent to the system log.
#include "audit.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "report.h"

namespace {

// The longest line sent: rsyslog keeps 8 KiB of a message, syslog(3)'s header included.
constexpr size_t longest_line = 8000;

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

// Logs `head` and then `items`, each after a space, on as many lines as they need (see audit.h):
// a full line goes on with `more`, and an item too long for a line of its own is cut.
void log_items(int priority, const std::string& head, const std::vector<std::string>& items,
               const std::string& more) {
    std::string line = head;
    bool any = false;  // whether `line` holds an item, or the start of one
    for (const std::string& item : items) {
        std::string_view rest = item;
        if (any && line.size() + 1 + rest.size() > longest_line) {
            log(priority, line);
            line = more;
        }
        line += ' ';
        // Room for at least a few characters, however long the caller's name is.
        while (line.size() + rest.size() > longest_line) {
            const size_t room =
                longest_line > line.size() + 65 ? longest_line - line.size() - 1 : 64;
            const size_t cut = quoted_prefix(rest, room);
            line.append(rest.substr(0, cut));
            line += '\\';
            log(priority, line);
            rest.remove_prefix(cut);
            line = more + ' ';
        }
        line.append(rest);
        any = true;
    }
    log(priority, line);
}

}  // namespace

void audit_start(const Target& target, const std::vector<Argument>& args) {
    std::vector<std::string> items;
    items.reserve(args.size());
    for (const Argument& arg : args) {
        items.push_back(audit_argument(arg.path.native(), resolved(arg.admitted).native()));
    }
    log_items(LOG_NOTICE, audit_start_line(caller(), target), items,
              audit_continued(caller(), "hand over"));
}

void audit_end(long visited, int failures, int signal) {
    log(failures > 0 ? LOG_WARNING : LOG_NOTICE,
        audit_end_line(caller(), visited, failures, signal));
}

void audit_refusal(std::string_view reason) {
    log_items(LOG_WARNING, audit_refused(caller()), {audit_reason(reason)},
              audit_continued(caller(), "refused"));
}
