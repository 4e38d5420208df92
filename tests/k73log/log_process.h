// The built k73log as a child process in the test's working directory, with
// its standard output and error in files there.
#ifndef TOV_TESTS_K73LOG_LOG_PROCESS_H
#define TOV_TESTS_K73LOG_LOG_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "process_end.h"
#include "sim_process.h"

namespace k73logtest {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

inline void sleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Polls every 50 ms until `done` or the time-out; true when done.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (done()) return true;
    sleepMs(50);
  }
  return done();
}

class LogProcess {
 public:
  explicit LogProcess(std::vector<std::string> args, std::string name = "k73log")
      : args_(std::move(args)), out_(name + ".stdout"), err_(name + ".stderr") {}
  // Asked to stop (SIGTERM) like any run it was not told to end; killed only
  // when it does not.
  ~LogProcess() {
    if (pid_ > 0) tov::test::endProcesses({pid_}, SIGTERM, 10000);
  }

  bool start() {
    std::vector<std::string> argv = {k73test::binPath("k73log")};
    argv.insert(argv.end(), args_.begin(), args_.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = open("/dev/null", O_RDONLY);
      dup2(out, 1), dup2(err, 2), dup2(in, 0);
      execv(cargv[0], cargv.data());
      _exit(127);
    }
    return pid_ > 0;
  }

  void signal(int sig) { kill(pid_, sig); }
  pid_t pid() const { return pid_; }

  // Exit status, or -1 when it has not ended within the time-out.
  int wait(int timeoutMs) {
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs)) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Runs to the end.
  int run(int timeoutMs = 60000) { return start() ? wait(timeoutMs) : -1; }

  std::string out() const { return readFile(out_); }
  std::string err() const { return readFile(err_); }

 private:
  std::vector<std::string> args_;
  std::string out_, err_;
  pid_t pid_ = -1;
};

}  // namespace k73logtest

#endif
