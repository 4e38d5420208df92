// Open ports on Linux by descriptor, and the calls of link_platform.h, each
// of which goes straight to the port object the driver's slot holds. The
// table is looked at only when a port opens, closes, or comes back from a
// client by its descriptor; an object is deleted only when no slot holds it,
// so no thread can still be reading it.
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "port_posix.h"

namespace tov::platform {

namespace {

// Room for every slot's port and as many again that clients took over.
constexpr int kTableSize = 2 * TOV_PORT_SLOTS + 2;

std::mutex tableLock;
Port* table[kTableSize];

thread_local char openFailure[200];

// What no slot holds and no descriptor finds any more goes.
void deleteIfUnheld(Port* port) {
  if (port->slots > 0) return;
  if (port->registered && !port->closed && !port->disowned) return;  // a client may hand it back
  delete port;
}

void unregister(int index) {
  Port* port = table[index];
  table[index] = nullptr;
  port->registered = false;
  deleteIfUnheld(port);
}

// What the descriptor is open on; a descriptor number closed and opened
// again on something else is another port.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const Identity& other) const {
    return device == other.device && inode == other.inode;
  }
};

Identity identityOf(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return {};
  return {st.st_dev, st.st_ino};
}

Identity identities[kTableSize];  // beside table[], under the lock

// Files a new port; any older one with the same descriptor was closed behind
// our back and is forgotten without closing the number again.
bool file(Port* port) {
  std::lock_guard<std::mutex> lock(tableLock);
  int freeIndex = -1;
  for (int i = 0; i < kTableSize; ++i) {
    if (table[i] && table[i]->fd() == port->fd()) {
      table[i]->disowned = true;
      unregister(i);
    }
    if (!table[i] && freeIndex < 0) freeIndex = i;
  }
  for (int i = 0; freeIndex < 0 && i < kTableSize; ++i) {
    if (table[i]->slots == 0) {  // only a client holds it now: forget it
      table[i]->disowned = true;
      unregister(i);
      freeIndex = i;
    }
  }
  if (freeIndex < 0) return false;
  table[freeIndex] = port;
  identities[freeIndex] = identityOf(port->fd());
  port->registered = true;
  port->slots = 1;
  return true;
}

Port* filedOrClosed(Port* port) {
  if (file(port)) return port;
  std::snprintf(openFailure, sizeof openFailure, "too many ports open");
  port->closeDescriptor();
  delete port;
  return nullptr;
}

// Ports that only clients hold are forgotten when the driver is unloaded;
// their descriptors stay open, as they are the clients'.
struct TableAtUnload {
  ~TableAtUnload() {
    std::lock_guard<std::mutex> lock(tableLock);
    for (Port*& port : table) {
      if (!port || port->slots > 0) continue;
      delete port;
      port = nullptr;
    }
  }
} tableAtUnload;

}  // namespace

Port* portOpen(int comNumber, uint32_t baud, uint32_t /*writeTimeoutMs*/, uint32_t inQueueSize,
               uint32_t /*outQueueSize*/, TovDcb* dcb) {
  // Writes never block here; the driver retries a byte until its own deadline,
  // which is what a write time-out amounts to. Queue sizes belong to the kernel.
  char path[16];
  std::snprintf(path, sizeof path, "COM%d", comNumber);
  std::string target;
  std::string why;
  const bool remote = remoteTargetAt(path, &target);
  Port* port =
      remote ? openRemotePort(target, baud, inQueueSize, &why) : openLocalPort(path, baud, &why);
  if (!port) {
    const std::string name = remote ? std::string(path) + " -> " + target : std::string(path);
    std::snprintf(openFailure, sizeof openFailure, "%s: %s", name.c_str(), why.c_str());
    return nullptr;
  }
  port = filedOrClosed(port);
  if (port) describeLink(dcb, baud);
  return port;
}

Port* portReopen(Port* port, int comNumber, uint32_t baud, uint32_t writeTimeoutMs,
                 uint32_t inQueueSize, uint32_t outQueueSize, TovDcb* dcb) {
  if (port && port->slots == 1 && port->changeRate(baud)) {
    describeLink(dcb, baud);
    return port;
  }
  portClose(port);
  return portOpen(comNumber, baud, writeTimeoutMs, inQueueSize, outQueueSize, dcb);
}

const char* portOpenFailure() {
  return openFailure;
}

Port* portAdopt(TovHandle handle) {
  if (handle == TOV_INVALID_HANDLE || handle < 0 || handle > INT32_MAX) return nullptr;
  const int fd = static_cast<int>(handle);
  {
    std::lock_guard<std::mutex> lock(tableLock);
    const Identity identity = identityOf(fd);
    for (int i = 0; i < kTableSize; ++i) {
      Port* port = table[i];
      if (!port || port->fd() != fd || port->closed) continue;
      if (identities[i] == identity) {
        ++port->slots;
        return port;
      }
      port->disowned = true;  // the number was closed and reused behind our back
      unregister(i);
    }
  }
  return filedOrClosed(adoptLocalPort(fd));
}

TovHandle portHandle(const Port* port) {
  return port ? port->fd() : TOV_INVALID_HANDLE;
}

void portClose(Port* port) {
  if (!port) return;
  bool closeIt = false;
  bool deleteIt = false;
  {
    std::lock_guard<std::mutex> lock(tableLock);
    --port->slots;
    closeIt = !port->closed && !port->disowned;
    port->closed = true;
    deleteIt = port->slots == 0;  // else another slot holds it still (a client put it there)
    if (deleteIt) {
      for (Port*& entry : table)
        if (entry == port) entry = nullptr;
      port->registered = false;
    }
  }
  // Outside the lock: closing a serial device may wait for its output to drain.
  if (closeIt) port->closeDescriptor();
  if (deleteIt) delete port;
}

void portRelease(Port* port) {
  if (!port) return;
  std::lock_guard<std::mutex> lock(tableLock);
  --port->slots;
  deleteIfUnheld(port);
}

void portWaitForInput(Port* port, int64_t deadlineMs) {
  if (port) return port->waitForInput(deadlineMs);
  sleepUntil(deadlineMs, false);
}

void portWaitForOutput(Port* port, int64_t deadlineMs) {
  if (port) return port->waitForOutput(deadlineMs);
  sleepUntil(deadlineMs, false);
}

void portPurge(Port* port) {
  if (port) port->purgeInput();
}

bool portStatus(Port* port, TovComStat* status) {
  return port && port->status(status);
}

bool portWriteByte(Port* port, uint8_t byte) {
  return port && port->writeByte(byte);
}

bool portGone(const Port* port) {
  return port && port->gone();
}

bool portReadByte(Port* port, uint8_t* byte) {
  return port && port->readByte(byte);
}

}  // namespace tov::platform
