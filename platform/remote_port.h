// A converter's port served over the network by RFC 2217: the COM-PORT
// session on top of a byte stream. The stream is a TCP socket in the driver
// and a scripted server in virtual time in the tests.
//
// A stream that ends or fails is a port that is gone, as an unplugged
// adapter is: reads find nothing, writes fail, and waits sleep out their
// deadline instead of returning early again and again.
#ifndef TOV_PLATFORM_REMOTE_PORT_H
#define TOV_PLATFORM_REMOTE_PORT_H

#include <cstdint>
#include <string>

#include "com_port_session.h"

namespace tov::platform {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  virtual int64_t nowMs() = 0;
  // Bytes taken (0 when it cannot take any now), or -1 when the stream is gone.
  virtual long send(const uint8_t* bytes, size_t count) = 0;
  // Bytes read (0 when none are waiting), or -1 when the stream ended or failed.
  virtual long receive(uint8_t* buffer, size_t size) = 0;
  // Returns when bytes can be received (or sent, with forOutput), when the
  // stream fails, or at the deadline.
  virtual void wait(bool forOutput, int64_t deadlineMs) = 0;
  virtual void sleepUntil(int64_t deadlineMs) = 0;
};

// "rfc2217://HOST:PORT", HOST a name, an IPv4 address or an [IPv6] address,
// PORT 1 to 65535. False for anything else.
bool parseRemoteTarget(const std::string& target, std::string* host, std::string* port);

class RemotePort {
 public:
  explicit RemotePort(ByteStream* stream) : stream_(*stream) {}

  // Negotiates the session and sets the line to `baud` 8N1; true once the
  // server has answered the rate, data size, parity and stop size with them. On failure *why says
  // what went wrong.
  bool start(uint32_t baud, int64_t deadlineMs, const char** why);
  // The line to `baud` on the open session (SET-BAUDRATE); true once the
  // server has answered with that rate.
  bool changeRate(uint32_t baud, int64_t deadlineMs, const char** why);
  // Holds at most this many received bytes (the input queue's size).
  void limitInput(size_t bytes) { session_.limitData(bytes); }

  bool readByte(uint8_t* byte);
  bool writeByte(uint8_t byte);
  void purgeInput();
  // Counts what has arrived, after taking in everything the stream holds.
  uint32_t inputWaiting();
  uint32_t outputWaiting() const;
  void waitForInput(int64_t deadlineMs);
  void waitForOutput(int64_t deadlineMs);
  bool gone() const { return gone_; }
  // The server hung up before it answered the line settings.
  bool droppedBeforeNegotiation() const { return gone_ && session_.serverBaud() == 0; }

 private:
  void takeIn();  // whatever the stream holds, without waiting
  void flush();   // as much pending output as the stream takes now
  void waitOrSleep(bool forOutput, int64_t deadlineMs);
  bool awaitLine(int64_t deadlineMs, const char** why);

  ByteStream& stream_;
  ComPortSession session_;
  bool gone_ = false;
};

}  // namespace tov::platform

#endif
