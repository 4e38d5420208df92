// ser2net serving a pseudo-terminal by RFC 2217 on 127.0.0.1, with a
// configuration of its own (never the system's /etc/ser2net.yaml, which
// names the machine's console).
#ifndef TOV_TESTS_REMOTE_SER2NET_PROCESS_H
#define TOV_TESTS_REMOTE_SER2NET_PROCESS_H

#include <sys/types.h>

#include <string>

namespace k73test {

bool ser2netInstalled();

class Ser2netProcess {
 public:
  // Serves `device` on a free TCP port of 127.0.0.1; files go to `dir`.
  Ser2netProcess(std::string device, std::string dir);
  ~Ser2netProcess();
  Ser2netProcess(const Ser2netProcess&) = delete;
  Ser2netProcess& operator=(const Ser2netProcess&) = delete;

  // Starts it (again on the same port after kill()) and waits until it
  // accepts connections.
  bool start(int timeoutMs = 10000);
  void kill();  // SIGKILL, then reaps it
  int port() const { return port_; }
  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  std::string log() const;

 private:
  std::string device_;
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace k73test

#endif
