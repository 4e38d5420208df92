#include "sim_process.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef K73_BIN_DIR
#error "K73_BIN_DIR must name the build's bin directory"
#endif

namespace k73test {

namespace {

void sleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

void removeTree(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) {
    unlink(path.c_str());
    return;
  }
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = path + "/" + name;
    struct stat st {};
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      removeTree(child);
    } else {
      unlink(child.c_str());
    }
  }
  closedir(d);
  rmdir(path.c_str());
}

}  // namespace

std::string binPath(const std::string& name) {
  return std::string(K73_BIN_DIR) + "/" + name;
}

TempWorkDir::TempWorkDir() {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) previous_ = cwd;
  char pattern[] = "/tmp/k73-test-XXXXXX";
  if (!mkdtemp(pattern)) return;
  if (chdir(pattern) != 0) {
    rmdir(pattern);
    return;
  }
  path_ = pattern;
}

TempWorkDir::~TempWorkDir() {
  if (path_.empty()) return;
  const bool back = !previous_.empty() && chdir(previous_.c_str()) == 0;
  if (!back && chdir("/") != 0) return;  // cannot leave it: leave it in place
  removeTree(path_);
}

SimProcess::SimProcess(std::string program, std::vector<std::string> args, int comNumber)
    : program_(std::move(program)), args_(std::move(args)), comNumber_(comNumber) {}

SimProcess::~SimProcess() {
  stop();
  delete dir_;
}

const std::string& SimProcess::dir() const {
  static const std::string none;
  return dir_ ? dir_->path() : none;
}

std::string SimProcess::portName() const {
  return "COM" + std::to_string(comNumber_);
}

std::string SimProcess::log() const {
  std::ifstream in(dir() + "/k73sim.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool SimProcess::start(int timeoutMs) {
  if (pid_ > 0) return false;
  if (!dir_) dir_ = new TempWorkDir;
  if (!dir_->ok()) return false;

  std::vector<std::string> argv = {program_, "--port", portName()};
  argv.insert(argv.end(), args_.begin(), args_.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  const std::string logPath = dir() + "/k73sim.log";
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int devnull = open("/dev/null", O_RDONLY);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    if (devnull >= 0) dup2(devnull, 0);
    execv(cargv[0], cargv.data());
    _exit(127);
  }

  // Ready when COMn leads to a character device.
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    // Looked at, not opened: opening the terminal would disturb the simulator.
    struct stat st {};
    if (stat(portName().c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return true;
    if (!running()) return false;
    sleepMs(10);
  }
  return false;
}

bool SimProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

bool SimProcess::stop() {
  if (pid_ <= 0) return true;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < 5000; waited += 10) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) || WIFSIGNALED(status);
    }
    sleepMs(10);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return false;
}

DriverLibrary::DriverLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) error_ = dlerror();
}

DriverLibrary::~DriverLibrary() {
  unload();
}

void DriverLibrary::unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void* DriverLibrary::symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

int openDescriptorCount() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - 1;  // the directory stream's own descriptor
}

}  // namespace k73test
