#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "port_check.h"
#include "remote_port.h"

namespace tov::ports {

namespace {

constexpr int kAnswerMs = 2000;

// True when a TCP connection to host:port opens within the time.
bool hostAnswers(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool answered = false;
  for (const addrinfo* a = found; a && !answered; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      answered = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t size = sizeof error;
      answered = poll(&p, 1, kAnswerMs) == 1 &&
                 getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return answered;
}

}  // namespace

std::string troubleWith(int comNumber) {
  const std::string name = "COM" + std::to_string(comNumber);
  struct stat info {};
  if (lstat(name.c_str(), &info) != 0) return "there is no " + name + " in the current directory";
  if (!S_ISLNK(info.st_mode)) return std::string();
  char buffer[512];
  const ssize_t n = readlink(name.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  const std::string target(buffer, static_cast<size_t>(n));
  std::string host, port;
  if (platform::parseRemoteTarget(target, &host, &port)) {
    return hostAnswers(host, port) ? std::string()
                                   : name + " links to " + target + ", whose host does not answer";
  }
  struct stat linked {};
  if (stat(name.c_str(), &linked) != 0)
    return name + " links to " + target + ", which does not exist";
  return std::string();
}

}  // namespace tov::ports
