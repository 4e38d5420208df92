#include "tmux_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "process_end.h"

namespace tov::test {

namespace {

void pause10ms() {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

using Clock = std::chrono::steady_clock;

template <typename Predicate>
bool pollUntil(int timeoutMs, Predicate done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    pause10ms();
  }
}

// argv for execvp, kept alive by the strings.
std::vector<char*> argvOf(const std::vector<std::string>& args) {
  std::vector<char*> out;
  for (const std::string& a : args) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

// ---------------------------------------------------------------- TempDir

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tovtest.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool TempDir::exists(const std::string& name) const {
  struct stat st;
  return lstat(file(name).c_str(), &st) == 0;
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void TempDir::write(const std::string& name, const std::string& contents) const {
  std::ofstream(file(name), std::ios::binary) << contents;
}

// ------------------------------------------------------------- runCommand

int runCommand(const std::vector<std::string>& argv, std::string* output) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> args = argvOf(argv);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(pipeFds[0], buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ------------------------------------------------------------ TmuxSession

TmuxSession::TmuxSession(const std::string& command, const std::string& workDir, int columns,
                         int rows) {
  // The socket and the configuration live in the working directory, so two
  // tests never share a server.
  socket_ = workDir + "/.tmux.sock";
  confPath_ = workDir + "/.tmux.conf";
  std::ofstream(confPath_) << "set -g remain-on-exit on\n"
                              "set -g status off\n"
                              "set -g escape-time 0\n"
                              "set -g history-limit 0\n";
  // A shell stays between tmux and the program and writes down its status:
  // tmux now and then marks a pane dead without the status (seen with
  // sanitizer-built programs, which are slow to exit). The trap keeps the
  // shell alive through Ctrl-C, which the program handles itself.
  statusPath_ = workDir + "/.tmux.status";
  unlink(statusPath_.c_str());
  const std::string shellCommand = "trap : INT; cd '" + workDir + "' && " + command +
                                   "; s=$?; echo $s > '" + statusPath_ + "'; exit $s";
  int rc =
      runCommand({"tmux", "-S", socket_, "-f", confPath_, "new-session", "-d", "-x",
                  std::to_string(columns), "-y", std::to_string(rows), "-s", name_, shellCommand});
  started_ = rc == 0;
  if (started_) {
    // Keep the pane its size whatever a client might do.
    runCommand({"tmux", "-S", socket_, "set-option", "-t", name_, "window-size", "manual"});
    const std::vector<std::string> pids =
        tmux({"display", "-p", "-t", name_, "#{pid} #{pane_pid}"});
    long server = -1, pane = -1;
    if (!pids.empty() && std::sscanf(pids[0].c_str(), "%ld %ld", &server, &pane) == 2) {
      serverPid_ = static_cast<pid_t>(server);
      panePid_ = static_cast<pid_t>(pane);
    }
  }
}

// The program is stopped the way it expects (SIGTERM: tovcon stops the
// converter and gives the terminal back) while its terminal still exists,
// then whatever is left of the pane's session is killed, and the terminal
// (the server) goes last. Killing the server first would leave the program
// to a hang-up on a terminal that is gone.
TmuxSession::~TmuxSession() {
  if (panePid_ > 0) {
    std::vector<pid_t> programs = sessionMembers(panePid_);
    programs.erase(std::remove(programs.begin(), programs.end(), panePid_), programs.end());
    endProcesses(programs, SIGTERM, kStopWaitMs);
  }
  runCommand({"tmux", "-S", socket_, "kill-server"});
  if (serverPid_ > 0) endProcesses({serverPid_}, SIGTERM, kStopWaitMs);
  if (panePid_ > 0) endProcesses(sessionMembers(panePid_), SIGTERM, kStopWaitMs);
  unlink(socket_.c_str());
  unlink(confPath_.c_str());
  unlink(statusPath_.c_str());
}

bool TmuxSession::hangUp() {
  runCommand({"tmux", "-S", socket_, "kill-server"});
  return pollUntil(kDefaultWaitMs, [this] { return !processAlive(serverPid_); });
}

void TmuxSession::resize(int columns, int rows) {
  tmux({"resize-window", "-t", name_, "-x", std::to_string(columns), "-y", std::to_string(rows)});
}

std::string TmuxSession::paneTty() const {
  const std::vector<std::string> lines = tmux({"display", "-p", "-t", name_, "#{pane_tty}"});
  return lines.empty() ? std::string() : lines.front();
}

std::vector<std::string> TmuxSession::tmux(std::vector<std::string> args) const {
  args.insert(args.begin(), {"tmux", "-S", socket_});
  std::string out;
  runCommand(args, &out);
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void TmuxSession::sendKeys(const std::vector<std::string>& keys) {
  std::vector<std::string> args = {"send-keys", "-t", name_};
  args.insert(args.end(), keys.begin(), keys.end());
  tmux(args);
}

void TmuxSession::typeText(const std::string& literal) {
  tmux({"send-keys", "-t", name_, "-l", "--", literal});
}

std::vector<std::string> TmuxSession::rows() const {
  std::vector<std::string> lines = tmux({"capture-pane", "-p", "-t", name_});
  lines.resize(25);
  for (std::string& l : lines) l.resize(80, ' ');
  return lines;
}

std::string TmuxSession::screen() const {
  std::string out;
  for (std::string line : rows()) {
    line.erase(line.find_last_not_of(' ') + 1);
    out += line + '\n';
  }
  return out;
}

std::string TmuxSession::text(int column, int row, int length) const {
  std::vector<std::string> r = rows();
  if (row < 0 || row >= static_cast<int>(r.size()) || column < 0 || column >= 80) return {};
  return r[row].substr(column, length);
}

CursorState TmuxSession::cursor() const {
  std::vector<std::string> out =
      tmux({"display", "-p", "-t", name_, "#{cursor_x},#{cursor_y},#{cursor_flag}"});
  CursorState c;
  int visible = 0;
  if (!out.empty() && std::sscanf(out[0].c_str(), "%d,%d,%d", &c.column, &c.row, &visible) == 3)
    c.visible = visible != 0;
  return c;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  return pollUntil(timeoutMs, done);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool TmuxSession::waitForText(const std::string& text, int timeoutMs) const {
  return pollUntil(timeoutMs, [&] { return screen().find(text) != std::string::npos; });
}

bool TmuxSession::waitForTextAt(int column, int row, const std::string& expected,
                                int timeoutMs) const {
  return pollUntil(timeoutMs, [&] {
    return this->text(column, row, static_cast<int>(expected.size())) == expected;
  });
}

bool TmuxSession::waitForTextGone(const std::string& text, int timeoutMs) const {
  return pollUntil(timeoutMs, [&] { return screen().find(text) == std::string::npos; });
}

bool TmuxSession::reachMainMenu(int timeoutMs) {
  return pollUntil(timeoutMs, [this] {
    if (screen().find("Main Menu") != std::string::npos) return true;
    sendKeys({"Enter"});
    return waitForText("Main Menu", 300);
  });
}

bool TmuxSession::exited(int* status) const {
  std::vector<std::string> out =
      tmux({"display", "-p", "-t", name_, "#{pane_dead};#{pane_dead_status};#{pane_dead_signal}"});
  int dead = 0, code = -1, sig = 0;
  if (out.empty() || std::sscanf(out[0].c_str(), "%d", &dead) != 1 || !dead) return false;
  // The status or signal can follow the dead flag by a moment: wait for one.
  const size_t first = out[0].find(';');
  const size_t second = out[0].find(';', first + 1);
  if (std::sscanf(out[0].c_str() + first + 1, "%d", &code) == 1) {
    if (status) *status = code;
    return true;
  }
  if (second != std::string::npos && std::sscanf(out[0].c_str() + second + 1, "%d", &sig) == 1) {
    if (status) *status = 128 + sig;  // killed by a signal, as a shell reports it
    return true;
  }
  std::ifstream recorded(statusPath_);
  if (recorded >> code) {
    if (status) *status = code;
    return true;
  }
  return false;
}

bool TmuxSession::waitForExit(int* status, int timeoutMs) const {
  return pollUntil(timeoutMs, [&] { return exited(status); });
}

// -------------------------------------------------------------- Simulator

Simulator::Simulator(const std::string& binDir, const std::string& workDir,
                     const std::vector<int>& ports, const std::vector<std::string>& extraArgs) {
  const std::string program = binDir + "/k73sim";
  if (access(program.c_str(), X_OK) != 0) return;
  for (int port : ports) {
    std::vector<std::string> argv = {program, "--port", "COM" + std::to_string(port), "--quiet"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
      if (chdir(workDir.c_str()) != 0) _exit(127);
      int devNull = open("/dev/null", O_RDWR);
      if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
      }
      std::vector<char*> args = argvOf(argv);
      execv(args[0], args.data());
      _exit(127);
    }
    pids_.push_back(pid);
  }
  ready_ = pollUntil(kDefaultWaitMs, [&] {
    for (int port : ports) {
      struct stat st;
      if (stat((workDir + "/COM" + std::to_string(port)).c_str(), &st) != 0) return false;
    }
    return true;
  });
}

Simulator::~Simulator() {
  endProcesses(pids_, SIGTERM, kStopWaitMs);
}

}  // namespace tov::test
