// Port objects for a backend whose handle is the whole port: the object
// only carries the handle, so a client's handle put back in a slot is the
// same port again.
#include "handle_port.h"

namespace tov::platform {

class Port {
 public:
  explicit Port(TovHandle handle) : handle(handle) {}
  const TovHandle handle;
};

namespace {

TovHandle handleOf(const Port* port) {
  return port ? port->handle : TOV_INVALID_HANDLE;
}

}  // namespace

Port* portOpen(int comNumber, uint32_t baud, uint32_t writeTimeoutMs, uint32_t inQueueSize,
               uint32_t outQueueSize, TovDcb* dcb) {
  const TovHandle handle =
      serialOpen(comNumber, baud, writeTimeoutMs, inQueueSize, outQueueSize, dcb);
  return handle == TOV_INVALID_HANDLE ? nullptr : new Port(handle);
}

Port* portReopen(Port* port, int comNumber, uint32_t baud, uint32_t writeTimeoutMs,
                 uint32_t inQueueSize, uint32_t outQueueSize, TovDcb* dcb) {
  portClose(port);
  return portOpen(comNumber, baud, writeTimeoutMs, inQueueSize, outQueueSize, dcb);
}

const char* portOpenFailure() {
  return serialOpenFailure();
}

Port* portAdopt(TovHandle handle) {
  return handle == TOV_INVALID_HANDLE ? nullptr : new Port(handle);
}

TovHandle portHandle(const Port* port) {
  return handleOf(port);
}

void portClose(Port* port) {
  if (!port) return;
  serialClose(port->handle);
  delete port;
}

void portRelease(Port* port) {
  delete port;
}

void portWaitForInput(Port* port, int64_t deadlineMs) {
  waitForInput(handleOf(port), deadlineMs);
}

void portWaitForOutput(Port* port, int64_t deadlineMs) {
  waitForOutput(handleOf(port), deadlineMs);
}

void portPurge(Port* port) {
  if (port) serialPurge(port->handle);
}

bool portStatus(Port* port, TovComStat* status) {
  return port && serialStatus(port->handle, status);
}

bool portWriteByte(Port* port, uint8_t byte) {
  return port && serialWriteByte(port->handle, byte);
}

bool portGone(const Port*) {
  return false;  // the handle's own calls fail as a gone port's do
}

bool portReadByte(Port* port, uint8_t* byte) {
  return port && serialReadByte(port->handle, byte);
}

}  // namespace tov::platform
