// A day of trouble between the logger and the converter, drawn from a seed:
// the schedule of faults, and the line that applies them as bytes pass.
//
// Faults on the converter and the line act at any moment, in the middle of a
// sign-on as well as of a scan; the host's stalls act where the logger waits,
// which is where it spends its time.
#ifndef K73_TESTS_SOAK_FAULT_LINE_H
#define K73_TESTS_SOAK_FAULT_LINE_H

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "converter.h"
#include "virtual_bench.h"

namespace k73soak {

enum class FaultKind {
  Silent,        // the converter sends nothing
  Unplugged,     // the cable is out: the port is gone until it is back
  Noisy,         // bits flip on the line and bursts of noise arrive
  DroppedBytes,  // every n-th byte the converter sends is lost
  DoubledBytes,  // every n-th byte arrives twice
  BadStartMarker,
  BadEndMarker,
  HostStalled,    // the logger reads nothing for seconds
  QueueOverflow,  // stalled long enough for the input queue to fill
  // A remote port's server: drawn only when the port is remote.
  ServerGone,      // connections refused, the open one closed
  SlowRateAnswer,  // a rate answered late, at times past the open's deadline
  HalfTelnet,      // Telnet commands split across reads, or cut off by a close
  Count
};
const char* faultName(FaultKind kind);

struct Fault {
  FaultKind kind;
  int64_t fromUs;
  int64_t toUs;
  int every = 0;  // for dropped and doubled bytes
};

// Faults starting on average every meanSpacingS seconds over durationS,
// each kind as likely as the next; lengths go up to a minute, so faults
// meet each other and the logger's reconnects. The server's faults come
// only for a remote port.
std::vector<Fault> drawSchedule(uint64_t seed, double durationS, double meanSpacingS,
                                bool remote = false);

// The converter's line, with the schedule's converter and line faults
// applied by the bench's clock.
class FaultLine : public k73::Peer {
 public:
  FaultLine(k73::Converter& converter, k73::VirtualBench& bench, std::vector<Fault> faults,
            uint64_t seed);

  // Whether a fault that damages bytes was active at tUs (a scan made then
  // may have been damaged on its way).
  bool lineFaultAt(int64_t tUs) const;
  // For the bench: the converter's bytes lost while it is silent, the port
  // gone while it is unplugged.
  k73::VirtualBench::LineState stateAt(int64_t tUs) const;
  // Whether the line was noisy at some moment from fromUs to toUs.
  bool noisyWithin(int64_t fromUs, int64_t toUs) const;

  // k73::Peer
  void hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) override;
  void hostOpened(int64_t tUs, uint32_t hostBaud) override;
  void hostClosed(int64_t tUs) override;
  int64_t nextByteTime() override;
  uint8_t takeByte(uint32_t* baud) override;

 private:
  struct Noise {
    int64_t tUs;
    uint8_t byte;
  };
  bool active(FaultKind kind, int64_t tUs, int* every = nullptr) const;
  void applySwitches(int64_t tUs);

  k73::Converter& converter_;
  k73::VirtualBench& bench_;
  std::vector<Fault> faults_;  // the line's and converter's, by start
  size_t firstLive_ = 0;       // faults before this one are over
  size_t nextBurst_ = 0;       // the next noisy fault to start with a burst
  std::deque<Noise> noise_;
  std::mt19937_64 rng_;
};

}  // namespace k73soak

#endif
