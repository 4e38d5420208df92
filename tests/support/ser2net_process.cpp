#include "ser2net_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "loopback.h"
#include "process_end.h"

namespace k73test {

namespace {

constexpr const char* kSer2net = "/usr/sbin/ser2net";

void sleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

}  // namespace

bool ser2netInstalled() {
  return access(kSer2net, X_OK) == 0;
}

Ser2netProcess::Ser2netProcess(std::string device, std::string dir)
    : device_(std::move(device)), dir_(std::move(dir)), port_(freeLoopbackPort()) {}

// Asked to stop first (SIGTERM), killed only when it does not.
Ser2netProcess::~Ser2netProcess() {
  if (pid_ > 0) tov::test::endProcesses({pid_}, SIGTERM, 10000);
}

bool Ser2netProcess::start(int timeoutMs) {
  if (pid_ > 0 || port_ == 0) return false;
  const std::string config = dir_ + "/ser2net.yaml";
  std::ofstream(config) << "connection: &k73\n"
                        << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                        << "  connector: serialdev," << device_ << ",300n81,local\n"
                        << "  options:\n"
                        << "    chardelay: false\n";
  pid_ = fork();
  if (pid_ == 0) {
    const int out = open((dir_ + "/ser2net.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execl(kSer2net, kSer2net, "-n", "-c", config.c_str(), "-P", (dir_ + "/ser2net.pid").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid_ < 0) return false;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (loopbackAccepts(port_)) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    sleepMs(10);
  }
  return false;
}

void Ser2netProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string Ser2netProcess::log() const {
  std::ifstream in(dir_ + "/ser2net.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace k73test
