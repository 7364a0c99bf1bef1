// Owns the audit trail: who handed what to whom, and how it ended, in the system log.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "path_admission.h"
#include "target.h"

/// Every line goes through syslog(3) to facility authpriv, tagged with the tool's own name and
/// its process id (never argv[0], which the caller chooses), and names the caller: his login name
/// where the password database has one, and always his real uid. Paths and texts are in the quoted
/// form, so that no raw control byte reaches the log. No line is longer than 8000 bytes, which
/// leaves room for syslog's own header within the 8 KiB a system log keeps: what does not fit goes
/// on to further lines that start "CALLER: hand over, continued:" (or "refused, continued:"), and
/// a line cut inside a path ends in a backslash outside any escape, to be joined with the rest of
/// the next one after that start and its space. Where there is no system log, the lines are lost
/// and the run goes on.

/// At notice: the caller, the `target` owner and group (-1 shown as such) and whether with
/// --setgid, and each of `args` quoted, as written and as resolved (see audit_argument()).
void audit_start(const Target& target, const std::vector<Argument>& args);

/// At notice, or warning when anything failed: the paths visited, the failures, and the signal
/// that interrupted the run, if any (`signal`).
void audit_end(long visited, int failures, int signal);

/// At warning: a refused command line, in the words of the refusal (`reason`).
void audit_refusal(std::string_view reason);
