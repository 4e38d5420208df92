// The far end of a serial line, as the transports that carry it see it: the
// converter, or a test's scripted stand-in. Times are microseconds on the
// transport's clock.
#ifndef K73_SIM_PEER_H
#define K73_SIM_PEER_H

#include <cstdint>
#include <limits>

namespace k73 {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

class Peer {
 public:
  virtual ~Peer() = default;
  // A byte from the host, complete at the peer at time tUs, sent at hostBaud.
  virtual void hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) = 0;
  // The host opened or closed its end of the line.
  virtual void hostOpened(int64_t /*tUs*/, uint32_t /*hostBaud*/) {}
  virtual void hostClosed(int64_t /*tUs*/) {}
  // When the peer's next byte is complete at the host's port (kNever: none).
  // May generate output lazily (a scan timer) up to that moment.
  virtual int64_t nextByteTime() = 0;
  // Takes that byte; only called once the clock has reached nextByteTime().
  // *baud receives the line rate the peer sent it at.
  virtual uint8_t takeByte(uint32_t* baud) = 0;
};

}  // namespace k73

#endif
