#include "virtual_ports.h"

#include <map>
#include <memory>
#include <string>

#include "handle_port.h"
#include "remote_posix.h"

namespace k73soak {

namespace {

// The connection to the scripted server as the remote port's byte stream.
class VirtualStream : public tov::platform::ByteStream {
 public:
  VirtualStream(k73::VirtualBench& bench, Rfc2217Server& server, int connection)
      : bench_(bench), server_(server), connection_(connection) {}

  int64_t nowMs() override { return bench_.nowMs(); }
  long send(const uint8_t* bytes, size_t count) override {
    return server_.fromClient(connection_, bytes, count);
  }
  long receive(uint8_t* buffer, size_t size) override {
    return server_.toClient(connection_, buffer, size);
  }
  void wait(bool forOutput, int64_t deadlineMs) override {
    if (!forOutput) server_.waitReadable(connection_, deadlineMs * 1000);  // sending never waits
  }
  void sleepUntil(int64_t deadlineMs) override { bench_.sleepUntilMs(deadlineMs); }

 private:
  k73::VirtualBench& bench_;
  Rfc2217Server& server_;
  const int connection_;
};

struct Remote {
  Remote(k73::VirtualBench& bench, Rfc2217Server& server, int connection)
      : server(server), connection(connection), stream(bench, server, connection), port(&stream) {}
  ~Remote() { server.disconnect(connection); }
  Rfc2217Server& server;
  const int connection;
  VirtualStream stream;
  tov::platform::RemotePort port;
};

// Handles of remote ports lie above the bench's.
constexpr TovHandle kRemoteHandleBase = 1'000'000;

std::map<int, Rfc2217Server*> servers;
std::map<TovHandle, Remote*> remotes;
std::string openFailure;

k73::VirtualBench& bench() {
  return *k73::VirtualBench::active();
}

}  // namespace

void serveRemotely(int comNumber, Rfc2217Server* server) {
  if (server)
    servers[comNumber] = server;
  else
    servers.erase(comNumber);
}

bool waitOnPort(k73::VirtualBench& bench, TovHandle port, int64_t deadlineMs) {
  auto it = remotes.find(port);
  if (it == remotes.end()) {
    bench.waitForInput(port, deadlineMs);
    return false;
  }
  // A closed connection stays readable, as a socket at its end does.
  Rfc2217Server& server = it->second->server;
  server.waitReadable(it->second->connection, deadlineMs * 1000);
  return server.readable(it->second->connection);
}

}  // namespace k73soak

namespace tov::platform {

class Port {
 public:
  explicit Port(TovHandle handle) : handle(handle) {}
  Port(std::unique_ptr<k73soak::Remote> link)
      : handle(k73soak::kRemoteHandleBase + link->connection), remote(std::move(link)) {
    k73soak::remotes[handle] = remote.get();
  }
  ~Port() {
    if (remote) k73soak::remotes.erase(handle);
  }
  const TovHandle handle;
  std::unique_ptr<k73soak::Remote> remote;  // null for a port on the bench
};

namespace {

TovHandle handleOf(const Port* port) {
  return port ? port->handle : TOV_INVALID_HANDLE;
}

// As the driver's remote open does it: connect, negotiate within the open's
// deadline, and connect again while the server hangs up at once.
Port* openRemote(k73soak::Rfc2217Server& server, uint32_t baud, uint32_t inQueueSize, TovDcb* dcb) {
  const int64_t deadline = nowMs() + kRemoteOpenTimeoutMs;
  for (int retries = 0;; ++retries) {
    const int connection = server.connect();
    if (!connection) {
      k73soak::openFailure = "connection refused";
      return nullptr;
    }
    auto link = std::make_unique<k73soak::Remote>(k73soak::bench(), server, connection);
    if (inQueueSize > 0) link->port.limitInput(inQueueSize);
    const char* why = "";
    if (link->port.start(baud, deadline, &why)) {
      describeLink(dcb, baud);
      return new Port(std::move(link));
    }
    k73soak::openFailure = why;
    const bool busy = link->port.droppedBeforeNegotiation();
    link.reset();
    if (!busy || nowMs() + busyRetryMs(retries) >= deadline) return nullptr;
    sleepUntil(nowMs() + busyRetryMs(retries), false);
  }
}

}  // namespace

Port* portOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
               uint32_t outQueueSize, TovDcb* dcb) {
  auto server = k73soak::servers.find(comNumber);
  if (server != k73soak::servers.end()) return openRemote(*server->second, baud, inQueueSize, dcb);
  const TovHandle handle =
      serialOpen(comNumber, baud, writeTimeoutMs, inQueueSize, outQueueSize, dcb);
  k73soak::openFailure = serialOpenFailure();
  return handle == TOV_INVALID_HANDLE ? nullptr : new Port(handle);
}

Port* portReopen(Port* port, int comNumber, uint32_t baud, uint32_t writeTimeoutMs,
                 uint32_t inQueueSize, uint32_t outQueueSize, TovDcb* dcb) {
  if (port && port->remote && !port->remote->port.gone()) {
    const char* why = "";
    if (port->remote->port.changeRate(baud, nowMs() + kRemoteOpenTimeoutMs, &why)) {
      describeLink(dcb, baud);
      return port;
    }
  }
  portClose(port);
  return portOpen(comNumber, baud, writeTimeoutMs, inQueueSize, outQueueSize, dcb);
}

const char* portOpenFailure() {
  return k73soak::openFailure.c_str();
}

Port* portAdopt(TovHandle handle) {
  return handle == TOV_INVALID_HANDLE ? nullptr : new Port(handle);
}

TovHandle portHandle(const Port* port) {
  return handleOf(port);
}

void portClose(Port* port) {
  if (!port) return;
  if (!port->remote) serialClose(port->handle);
  delete port;  // a remote port's connection closes with it
}

void portRelease(Port* port) {
  delete port;
}

void portWaitForInput(Port* port, int64_t deadlineMs) {
  if (port && port->remote)
    port->remote->port.waitForInput(deadlineMs);
  else
    waitForInput(handleOf(port), deadlineMs);
}

void portWaitForOutput(Port* port, int64_t deadlineMs) {
  if (port && port->remote)
    port->remote->port.waitForOutput(deadlineMs);
  else
    waitForOutput(handleOf(port), deadlineMs);
}

void portPurge(Port* port) {
  if (port && port->remote)
    port->remote->port.purgeInput();
  else if (port)
    serialPurge(port->handle);
}

bool portStatus(Port* port, TovComStat* status) {
  if (port && port->remote) {
    *status = TovComStat{0, port->remote->port.inputWaiting(), port->remote->port.outputWaiting()};
    return true;
  }
  return port && serialStatus(port->handle, status);
}

bool portWriteByte(Port* port, uint8_t byte) {
  if (port && port->remote) return port->remote->port.writeByte(byte);
  return port && serialWriteByte(port->handle, byte);
}

bool portGone(const Port* port) {
  return port && port->remote && port->remote->port.gone();
}

bool portReadByte(Port* port, uint8_t* byte) {
  if (port && port->remote) return port->remote->port.readByte(byte);
  return port && serialReadByte(port->handle, byte);
}

}  // namespace tov::platform
