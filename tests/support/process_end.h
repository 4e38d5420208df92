// Ending what a test started: each process is first asked to stop the way
// it expects (a signal it handles), given time to do so, and only then
// killed by its pid. A stopped process (Ctrl-Z) is continued so that it can
// act on the request; the terminal a program runs in is ended after it.
#ifndef TOV_TESTS_SUPPORT_PROCESS_END_H
#define TOV_TESTS_SUPPORT_PROCESS_END_H

#include <sys/types.h>

#include <vector>

namespace tov::test {

// False once the process has ended, also while it waits to be reaped.
bool processAlive(pid_t pid);

// The processes of a session (a tmux pane's shell leads one), the leader
// included when it still runs.
std::vector<pid_t> sessionMembers(pid_t session);

// Sends sig to each pid (and SIGCONT to a stopped one), waits up to graceMs for all of them
// to end (reaping those that are children of this process), then kills the
// rest with SIGKILL and waits for them too. True when all ended on sig.
bool endProcesses(const std::vector<pid_t>& pids, int sig, int graceMs);

}  // namespace tov::test

#endif
