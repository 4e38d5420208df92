// Real-time test benches: the built k73sim on a pseudo-terminal in a private
// directory, and the built driver loaded the way a client program loads it.
//
//   k73test::SimProcess sim(k73test::binPath("k73sim"));
//   ASSERT_TRUE(sim.start()) << sim.log();   // COM1 now links to its terminal
//   k73test::DriverLibrary drv(k73test::binPath("libtovdrv.so"));
//   auto signOn = drv.get<int16_t (*)(DeviceRecord*)>("SignOn");
//
// While a SimProcess is started the test process works in its directory,
// because the driver opens "COMn" relative to the current directory.
#ifndef TOV_TESTS_SUPPORT_SIM_PROCESS_H
#define TOV_TESTS_SUPPORT_SIM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace k73test {

// A file in the build's bin directory (set by CMake as K73_BIN_DIR).
std::string binPath(const std::string& name);

// A fresh directory under /tmp that the test process works in while this
// object lives; removed with its contents afterwards.
class TempWorkDir {
 public:
  TempWorkDir();
  ~TempWorkDir();
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;
  const std::string& path() const { return path_; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
  std::string previous_;
};

class SimProcess {
 public:
  // args go after "--port COM<comNumber>".
  explicit SimProcess(std::string program, std::vector<std::string> args = {}, int comNumber = 1);
  ~SimProcess();  // stops the simulator, leaves the directory
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts it in a new private directory, enters that directory and waits
  // (up to timeoutMs) for COM<n> to link to its terminal.
  bool start(int timeoutMs = 10000);
  // Stops it (SIGTERM, then SIGKILL after a grace period); true when it had
  // exited by itself or ended on the signal.
  bool stop();
  bool running();
  pid_t pid() const { return pid_; }
  const std::string& dir() const;
  std::string portName() const;
  std::string log() const;  // what it wrote to stdout and stderr

 private:
  std::string program_;
  std::vector<std::string> args_;
  int comNumber_;
  TempWorkDir* dir_ = nullptr;
  pid_t pid_ = -1;
};

// The driver, loaded by path with dlopen; unloaded (dlclose) on destruction.
class DriverLibrary {
 public:
  explicit DriverLibrary(const std::string& path);
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  void* symbol(const char* name) const;
  template <class F>
  F get(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }
  void unload();

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// Descriptors this process holds open (entries of /proc/self/fd).
int openDescriptorCount();

}  // namespace k73test

#endif
