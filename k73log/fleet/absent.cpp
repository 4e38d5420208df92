// Builds without libmosquitto (Windows): the options are understood, and a
// run that asks for publishing or a service manager is told this build has
// neither.
#include <cstdlib>

#include "fleet.h"

namespace k73log {

std::string hostName() {
  const char* name = std::getenv("COMPUTERNAME");
  return name ? name : "";
}

std::unique_ptr<Publisher> makePublisher(const PublishOptions&, const std::string&,
                                         std::string* error) {
  *error = "this build of k73log cannot publish to an MQTT broker";
  return nullptr;
}

bool stateDirectory(const PublishOptions&, const std::string&, std::string*, std::string* error) {
  *error = "this build of k73log keeps no state directory";
  return false;
}

bool linkDevice(const std::string&, int, const std::string&, std::string* error) {
  *error = "this build of k73log cannot link a device";
  return false;
}

void notifyReady() {}
void notifyStopping() {}
void notifyWatchdog() {}
int64_t watchdogPingMs() {
  return 0;
}

}  // namespace k73log
