// The port objects of Linux: a local serial device (serial_posix.cpp) or a
// port served over the network by RFC 2217 (remote_posix.cpp), chosen once
// at open. ports_posix.cpp keeps the open ones by descriptor, for a client
// that hands a descriptor back (SetComHandle), and nothing else looks there.
#ifndef TOV_PLATFORM_PORT_POSIX_H
#define TOV_PLATFORM_PORT_POSIX_H

#include <cstdint>
#include <string>

#include "link_platform.h"
#include "tovdrv.h"

namespace tov::platform {

class Port {
 public:
  explicit Port(int fd) : fd_(fd) {}
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  virtual ~Port() = default;

  int fd() const { return fd_; }
  virtual bool readByte(uint8_t* byte) = 0;
  virtual bool writeByte(uint8_t byte) = 0;
  virtual void waitForInput(int64_t deadlineMs) = 0;
  virtual void waitForOutput(int64_t deadlineMs) = 0;
  virtual void purgeInput() = 0;
  virtual bool status(TovComStat* status) = 0;
  // Known to be gone (hung up, unplugged, the server went away).
  virtual bool gone() const = 0;
  // The same port at another rate without closing it; false when it has to
  // be closed and opened again (always, for a local device).
  virtual bool changeRate(uint32_t /*baud*/) { return false; }
  virtual void closeDescriptor() = 0;

  // Kept by ports_posix.cpp under its lock.
  int slots = 0;            // driver slots that hold the port
  bool registered = false;  // findable by its descriptor
  bool closed = false;
  bool disowned = false;  // the descriptor was closed behind our back and reused

 private:
  const int fd_;
};

// Null with *why set when the port cannot be opened.
Port* openLocalPort(const char* path, uint32_t baud, std::string* why);
Port* adoptLocalPort(int fd);  // a descriptor a client handed over, as it is
// True when the link at `path` points at a remote port (its target begins
// with "rfc2217:"); *target is then the link's target.
bool remoteTargetAt(const char* path, std::string* target);
// Holds at most inQueueSize received bytes (no limit of its own when 0).
Port* openRemotePort(const std::string& target, uint32_t baud, uint32_t inQueueSize,
                     std::string* why);

}  // namespace tov::platform

#endif
