// mosquitto for a test or the benchmark: run as the current user (a root-
// started broker drops to the mosquitto user and cannot write a test's
// directory), persistence on, listening on a free port of 127.0.0.1.
#ifndef K73_TESTS_SUPPORT_MOSQUITTO_PROCESS_H
#define K73_TESTS_SUPPORT_MOSQUITTO_PROCESS_H

#include <sys/types.h>

#include <string>

namespace k73test {

class MosquittoProcess {
 public:
  // Its configuration, persistence and log in dir; extraConfig is added to
  // the configuration as it stands.
  explicit MosquittoProcess(std::string dir, const std::string& extraConfig = "");
  ~MosquittoProcess() { stop(); }
  MosquittoProcess(const MosquittoProcess&) = delete;
  MosquittoProcess& operator=(const MosquittoProcess&) = delete;

  // True once it accepts connections (within 10 s).
  bool start();
  void stop();  // asked with SIGTERM (it saves its sessions), then killed
  int port() const { return port_; }

 private:
  std::string dir_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace k73test

#endif
