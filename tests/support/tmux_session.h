// End-to-end helpers: a program in a real 80 x 25 terminal (a private tmux
// server), a private working directory, and the converter simulator running
// behind COMn links in it.
//
//   TempDir dir;
//   Simulator sim(binDir, dir.path(), {1});        // COM1 -> k73sim
//   TmuxSession tovcon(binDir + "/tovcon", dir.path());
//   ASSERT_TRUE(tovcon.waitForText("Main Menu"));
//   tovcon.sendKeys({"Escape"});
//   int status;
//   ASSERT_TRUE(tovcon.waitForExit(&status));
//
// Every wait polls every 10 ms up to a time-out; nothing sleeps blindly.
#ifndef TOV_TESTS_SUPPORT_TMUX_SESSION_H
#define TOV_TESTS_SUPPORT_TMUX_SESSION_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tov::test {

// Generous enough for a loaded 2-core machine.
constexpr int kDefaultWaitMs = 10000;
// How long a program asked to stop gets before it is killed (a
// sanitizer-built one checks for leaks on its way out).
constexpr int kStopWaitMs = 20000;

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool exists(const std::string& name) const;
  std::string read(const std::string& name) const;  // empty when missing
  void write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

// Polls done every 10 ms until it holds or timeoutMs have passed.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kDefaultWaitMs);

// The lines of text, without their line ends.
std::vector<std::string> linesOf(const std::string& text);

// Runs argv (no shell) and returns its exit status; *output gets its stdout.
int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

struct CursorState {
  int column = -1;
  int row = -1;
  bool visible = false;
};

class TmuxSession {
 public:
  // Starts command (run by the shell, so arguments and redirections work) in
  // workDir, in a terminal of exactly columns x rows (80 x 25 unless asked).
  // The last screen and the exit status stay readable after the program ends.
  TmuxSession(const std::string& command, const std::string& workDir, int columns = 80,
              int rows = 25);
  // Stops the program (SIGTERM, then SIGKILL), then ends the private server.
  ~TmuxSession();
  TmuxSession(const TmuxSession&) = delete;
  TmuxSession& operator=(const TmuxSession&) = delete;

  bool started() const { return started_; }

  // tmux key names: "Escape", "Enter", "Down", "C-c", "y", ...
  void sendKeys(const std::vector<std::string>& keys);
  void typeText(const std::string& literal);  // each character as typed
  // The terminal's new size, as when its window is resized (the program gets
  // SIGWINCH).
  void resize(int columns, int rows);
  std::string paneTty() const;  // the terminal's device, for stty -F
  // The terminal goes away under the program, as when its window is closed
  // (the server ends); true once the server has.
  bool hangUp();

  std::vector<std::string> rows() const;  // 25 rows of 80, blank beyond a smaller terminal
  std::string screen() const;             // rows joined with '\n', trailing blanks trimmed
  std::string text(int column, int row, int length) const;
  CursorState cursor() const;

  bool waitForText(const std::string& text, int timeoutMs = kDefaultWaitMs) const;
  bool waitForTextAt(int column, int row, const std::string& text,
                     int timeoutMs = kDefaultWaitMs) const;
  // Waits until the screen no longer shows text.
  bool waitForTextGone(const std::string& text, int timeoutMs = kDefaultWaitMs) const;

  // *status: the exit status, or 128 + the signal that ended the program.
  bool exited(int* status) const;
  bool waitForExit(int* status, int timeoutMs = kDefaultWaitMs) const;

  // tovcon's start-up notice waits for a key and Enter at the main menu only
  // redraws it: presses Enter until the main menu shows.
  bool reachMainMenu(int timeoutMs = kDefaultWaitMs);

 private:
  std::vector<std::string> tmux(std::vector<std::string> args) const;
  std::string socket_;
  std::string confPath_;
  std::string statusPath_;  // the wrapping shell writes the program's status here
  std::string name_ = "e2e";
  bool started_ = false;
  pid_t serverPid_ = -1;
  pid_t panePid_ = -1;  // the pane's shell, which leads the pane's session
};

// k73sim in the background, one process per port number given, each serving
// a COMn link in workDir; stopped (SIGTERM, then SIGKILL) on destruction.
class Simulator {
 public:
  Simulator(const std::string& binDir, const std::string& workDir, const std::vector<int>& ports,
            const std::vector<std::string>& extraArgs = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  // True once every COMn link exists.
  bool ready() const { return ready_; }
  const std::vector<pid_t>& pids() const { return pids_; }
  pid_t pid() const { return pids_.empty() ? -1 : pids_.front(); }  // the first port's

 private:
  std::vector<pid_t> pids_;
  bool ready_ = false;
};

}  // namespace tov::test

#endif
