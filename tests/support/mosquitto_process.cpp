#include "mosquitto_process.h"

#include <signal.h>
#include <spawn.h>
#include <time.h>

#include <cstdlib>
#include <fstream>

#include "loopback.h"
#include "process_end.h"

extern char** environ;

namespace k73test {

MosquittoProcess::MosquittoProcess(std::string dir, const std::string& extraConfig)
    : dir_(std::move(dir)), port_(freeLoopbackPort()) {
  const char* user = std::getenv("USER");
  std::ofstream(dir_ + "/mosquitto.conf")
      << "user " << (user ? user : "root") << "\nlistener " << port_
      << " 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location " << dir_
      << "/\nautosave_interval 1\nlog_dest file " << dir_ << "/broker.log\n"
      << extraConfig;
}

bool MosquittoProcess::start() {
  const std::string conf = dir_ + "/mosquitto.conf";
  char* argv[] = {const_cast<char*>("mosquitto"), const_cast<char*>("-c"),
                  const_cast<char*>(conf.c_str()), nullptr};
  if (posix_spawnp(&pid_, "mosquitto", nullptr, nullptr, argv, environ) != 0) return false;
  const timespec step{0, 50 * 1000 * 1000};
  for (int i = 0; i < 200 && !loopbackAccepts(port_); ++i) nanosleep(&step, nullptr);
  return loopbackAccepts(port_);
}

void MosquittoProcess::stop() {
  if (pid_ <= 0) return;
  tov::test::endProcesses({pid_}, SIGTERM, 15000);
  pid_ = -1;
}

}  // namespace k73test
