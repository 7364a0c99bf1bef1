// Owns how a run is interrupted: SIGINT, SIGTERM and SIGHUP ask it to stop between two paths, and
// it then ends by that same signal.
#pragma once

/// From now on SIGINT, SIGTERM and SIGHUP, each unless it is ignored (as nohup(1) leaves SIGHUP),
/// only ask the run to stop, so that the path in hand is finished and its line written first; a
/// second one of the same kind ends the process at once.
void catch_interruptions();

/// The first signal that asked the run to stop, or 0.
int interruption();

/// Blocks the three signals for the rest of the run and returns interruption(), read once: the
/// run's last words and the way it ends then agree. A signal that comes later stays pending, and
/// is dropped when the process exits, unless it ends by end_by().
int settle_interruption();

/// Ends the process by `sig`, as if it had never been caught, so that the shell and timeout(1)
/// see what they expect.
[[noreturn]] void end_by(int sig);
