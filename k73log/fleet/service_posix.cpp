// The logger's place on a Linux host: its state directory, the converter's
// link in it, and the service manager's notification socket.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "fleet.h"

namespace k73log {

namespace {

bool makeDirectories(const std::string& path, std::string* error) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "cannot create the state directory " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

void notify(const std::string& message) {
  const char* socketPath = std::getenv("NOTIFY_SOCKET");
  if (socketPath == nullptr || (socketPath[0] != '/' && socketPath[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(socketPath);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socketPath, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
         reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  close(fd);
}

}  // namespace

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

bool stateDirectory(const PublishOptions& opts, const std::string& id, std::string* dir,
                    std::string* error) {
  if (!opts.stateDir.empty()) {
    *dir = opts.stateDir;
  } else if (const char* service = std::getenv("STATE_DIRECTORY"); service && *service) {
    *dir = service;
    *dir = dir->substr(0, dir->find(':'));  // the first of several
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      *error = "no state directory: give --state-dir (HOME is not set)";
      return false;
    }
    *dir = std::string(home) + "/.local/state/k73log/" + id;
  }
  while (dir->size() > 1 && dir->back() == '/') dir->pop_back();
  return makeDirectories(*dir, error);
}

bool linkDevice(const std::string& stateDir, int comNumber, const std::string& device,
                std::string* error) {
  const std::string link = stateDir + "/COM" + std::to_string(comNumber);
  unlink(link.c_str());
  if (symlink(device.c_str(), link.c_str()) != 0) {
    *error = "cannot make the link " + link + " -> " + device + ": " + std::strerror(errno);
    return false;
  }
  if (chdir(stateDir.c_str()) != 0) {
    *error = "cannot work in " + stateDir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void notifyReady() {
  notify("READY=1");
}
void notifyStopping() {
  notify("STOPPING=1");
}
void notifyWatchdog() {
  notify("WATCHDOG=1");
}

int64_t watchdogPingMs() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr) return 0;
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && std::strtol(pid, nullptr, 10) != getpid()) return 0;
  const long long us = std::strtoll(usec, nullptr, 10);
  return us > 0 ? std::max<int64_t>(us / 2000, 1) : 0;
}

}  // namespace k73log
