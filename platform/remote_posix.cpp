#include "remote_posix.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "clock_posix.h"
#include "link_platform.h"
#include "port_posix.h"

namespace tov::platform {

namespace {

class SocketStream : public ByteStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}

  int64_t nowMs() override { return platform::nowMs(); }
  long send(const uint8_t* bytes, size_t count) override {
    for (;;) {
      const ssize_t n = ::send(fd_, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
  }
  long receive(uint8_t* buffer, size_t size) override {
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) {
        acknowledgeAtOnce();
        return static_cast<long>(n);
      }
      if (n == 0) return -1;  // the server closed the connection
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
  }
  void wait(bool forOutput, int64_t deadlineMs) override {
    pollWait(fd_, static_cast<short>(POLLIN | (forOutput ? POLLOUT : 0)), deadlineMs);
  }
  void sleepUntil(int64_t deadlineMs) override { platform::sleepUntil(deadlineMs, false); }

  // One poll() for `events` until the deadline; true when one of them came.
  static bool pollWait(int fd, short events, int64_t deadlineMs) {
    for (;;) {
      const int64_t left = deadlineMs - platform::nowMs();
      if (left <= 0) return false;
      pollfd pfd{fd, events, 0};
      const int rc = poll(&pfd, 1, static_cast<int>(left < INT_MAX ? left + 1 : INT_MAX));
      if (rc > 0) return true;
      if (rc < 0 && errno != EINTR) return false;
    }
  }

 private:
  // A server that sends each byte as it comes from the converter, with
  // Nagle's algorithm on (ser2net), holds the next byte until this one is
  // acknowledged; a delayed acknowledgement would cost 40 ms per reply byte.
  // Linux drops out of quick-acknowledgement mode by itself, so ask each time.
  void acknowledgeAtOnce() {
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }

  const int fd_;
};

// A remote port: the COM-PORT session over its own connection.
class RemoteLink final : public Port {
 public:
  explicit RemoteLink(int fd) : Port(fd), stream_(fd), port_(&stream_) {}

  bool start(uint32_t baud, int64_t deadlineMs, const char** why) {
    return port_.start(baud, deadlineMs, why);
  }
  void limitInput(size_t bytes) { port_.limitInput(bytes); }
  bool droppedBeforeNegotiation() const { return port_.droppedBeforeNegotiation(); }

  bool readByte(uint8_t* byte) override { return port_.readByte(byte); }
  bool writeByte(uint8_t byte) override { return port_.writeByte(byte); }
  void waitForInput(int64_t deadlineMs) override { port_.waitForInput(deadlineMs); }
  void waitForOutput(int64_t deadlineMs) override { port_.waitForOutput(deadlineMs); }
  void purgeInput() override { port_.purgeInput(); }
  bool status(TovComStat* status) override {
    *status = TovComStat{0, port_.inputWaiting(), port_.outputWaiting()};
    return true;
  }
  bool gone() const override { return port_.gone(); }
  bool changeRate(uint32_t baud) override {
    const char* why = "";
    return !port_.gone() && port_.changeRate(baud, nowMs() + kRemoteOpenTimeoutMs, &why);
  }
  void closeDescriptor() override { close(fd()); }

 private:
  SocketStream stream_;
  RemotePort port_;
};

// A name look-up that gives up at the deadline. Numeric addresses need no
// resolver; a name goes to glibc's asynchronous look-up, whose request must
// outlive us if the resolver is still busy with it when we give up.
struct LookUp {
  std::string host;
  std::string port;
  addrinfo hints{};
  gaicb request{};
};

addrinfo* lookUp(const std::string& host, const std::string& port, int64_t deadlineMs,
                 const char** why) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0) return found;

  auto* job = new LookUp{host, port, hints, {}};
  job->hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  job->request.ar_name = job->host.c_str();
  job->request.ar_service = job->port.c_str();
  job->request.ar_request = &job->hints;
  gaicb* list[1] = {&job->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete job;
    *why = "cannot look up the host";
    return nullptr;
  }
  while (gai_error(&job->request) == EAI_INPROGRESS && nowMs() < deadlineMs) {
    const timespec left{0,
                        static_cast<long>(std::min<int64_t>(deadlineMs - nowMs(), 999) * 1000000)};
    gai_suspend(list, 1, &left);
  }
  const int status = gai_error(&job->request);
  if (status == 0) {
    found = job->request.ar_result;
    delete job;
    return found;
  }
  if (status == EAI_INPROGRESS) {
    *why = "timed out looking up the host";
    if (gai_cancel(&job->request) == EAI_NOTCANCELED) return nullptr;  // still the resolver's
    if (job->request.ar_result) freeaddrinfo(job->request.ar_result);
  } else {
    const bool unknown = status == EAI_NONAME || status == EAI_NODATA;
    *why = unknown ? "unknown host" : "cannot look up the host";
  }
  delete job;
  return nullptr;
}

// A non-blocking connect bounded by the deadline; the descriptor or -1.
int connectTo(const addrinfo* address, int64_t deadlineMs, const char** why) {
  const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address->ai_protocol);
  if (fd < 0) {
    *why = "no socket";
    return -1;
  }
  int rc = connect(fd, address->ai_addr, address->ai_addrlen);
  if (rc != 0 && errno == EINPROGRESS) {
    if (!SocketStream::pollWait(fd, POLLOUT, deadlineMs)) {
      *why = "timed out connecting";
      close(fd);
      return -1;
    }
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    errno = error;
    rc = error == 0 ? 0 : -1;
  }
  if (rc != 0) {
    *why = errno == ECONNREFUSED ? "connection refused" : "cannot connect";
    close(fd);
    return -1;
  }
  // Single command bytes must not wait for company.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

bool remoteTargetAt(const char* path, std::string* target) {
  char buffer[512];
  const ssize_t n = readlink(path, buffer, sizeof buffer - 1);
  if (n <= 0) return false;
  buffer[n] = '\0';
  if (std::string(buffer).compare(0, 8, "rfc2217:") != 0) return false;
  *target = buffer;
  return true;
}

Port* openRemotePort(const std::string& target, uint32_t baud, uint32_t inQueueSize,
                     std::string* failure) {
  std::string host;
  std::string port;
  if (!parseRemoteTarget(target, &host, &port)) {
    *failure = "not a URL of the form rfc2217://HOST:PORT";
    return nullptr;
  }
  const char* why = "";
  const int64_t deadline = nowMs() + kRemoteOpenTimeoutMs;
  addrinfo* addresses = lookUp(host, port, deadline, &why);
  RemoteLink* remote = nullptr;
  for (int retries = 0; addresses; ++retries) {
    int fd = -1;
    for (const addrinfo* a = addresses; a && fd < 0 && nowMs() < deadline; a = a->ai_next)
      fd = connectTo(a, deadline, &why);
    if (fd < 0) break;
    remote = new RemoteLink(fd);
    if (inQueueSize > 0) remote->limitInput(inQueueSize);
    if (remote->start(baud, deadline, &why)) break;
    const bool busy = remote->droppedBeforeNegotiation();
    remote->closeDescriptor();
    delete remote;
    remote = nullptr;
    if (!busy || nowMs() + busyRetryMs(retries) >= deadline) break;
    sleepUntil(nowMs() + busyRetryMs(retries), false);
  }
  if (addresses) freeaddrinfo(addresses);
  if (!remote) *failure = why;
  return remote;
}

}  // namespace tov::platform
