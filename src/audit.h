// Owns the audit trail: who handed what to whom, and how it ended, in the system log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

/// Every line goes through syslog(3) to facility authpriv, tagged with the tool's own name and
/// its process id (never argv[0], which the caller chooses), and names the caller: his login name
/// where the password database has one, and always his real uid. Paths and texts are in the quoted
/// form, so that no raw control byte reaches the log. Where there is no system log, the lines are
/// lost and the run goes on.

/// At notice: the caller, target `uid`:`gid` (-1 shown as such), whether `sgid`, and `paths`
/// quoted; continued on further lines when they are too many for one.
void audit_start(int32_t uid, int32_t gid, bool sgid,
                 const std::vector<std::filesystem::path>& paths);

/// At notice, or warning when anything failed: the paths visited, the failures, and the signal
/// that interrupted the run, if any (`signal`).
void audit_end(long visited, int failures, int signal);

/// At warning: a refused command line, in the words of the refusal (`reason`).
void audit_refusal(std::string_view reason);
