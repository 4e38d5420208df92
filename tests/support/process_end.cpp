#include "process_end.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace tov::test {

namespace {

// The state letter and the session of a process, from /proc/<pid>/stat.
bool readStat(pid_t pid, char* state, pid_t* session) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  const size_t close = line.rfind(')');  // the command name may hold anything
  if (close == std::string::npos || close + 2 >= line.size()) return false;
  char st = 0;
  long ppid = 0, group = 0, sid = 0;
  if (std::sscanf(line.c_str() + close + 2, "%c %ld %ld %ld", &st, &ppid, &group, &sid) != 4)
    return false;
  *state = st;
  *session = static_cast<pid_t>(sid);
  return true;
}

bool allEnded(const std::vector<pid_t>& pids) {
  bool ended = true;
  for (pid_t pid : pids) {
    waitpid(pid, nullptr, WNOHANG);  // a child of ours is reaped; others are left alone
    if (processAlive(pid)) ended = false;
  }
  return ended;
}

bool waitEnded(const std::vector<pid_t>& pids, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!allEnded(pids)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

bool processAlive(pid_t pid) {
  char state = 0;
  pid_t session = 0;
  return pid > 0 && readStat(pid, &state, &session) && state != 'Z' && state != 'X';
}

std::vector<pid_t> sessionMembers(pid_t session) {
  std::vector<pid_t> members;
  if (session <= 0) return members;
  DIR* proc = opendir("/proc");
  if (!proc) return members;
  while (const dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
    char state = 0;
    pid_t sid = 0;
    if (pid > 0 && readStat(pid, &state, &sid) && sid == session && state != 'Z')
      members.push_back(pid);
  }
  closedir(proc);
  return members;
}

bool endProcesses(const std::vector<pid_t>& pids, int sig, int graceMs) {
  if (pids.empty()) return true;
  for (pid_t pid : pids) {
    kill(pid, sig);
    // Continued only when stopped: a SIGCONT that reaches a sanitizer-built
    // program while its leak check attaches to it cancels that attach's
    // SIGSTOP, and the check then waits for ever.
    char state = 0;
    pid_t session = 0;
    if (readStat(pid, &state, &session) && (state == 'T' || state == 't')) kill(pid, SIGCONT);
  }
  if (waitEnded(pids, graceMs)) return true;
  for (pid_t pid : pids)
    if (processAlive(pid)) kill(pid, SIGKILL);
  waitEnded(pids, 5000);
  return false;
}

}  // namespace tov::test
