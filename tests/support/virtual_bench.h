// A bench in virtual time: the driver's platform seam implemented in memory.
//
// The clock belongs to the bench. When the driver waits, the clock jumps to
// the earlier of its deadline and the moment the next byte from the peer is
// complete at the port, so a test runs in microseconds and every deadline is
// exact. Peers (the simulated converter, or a scripted one in a test) sit on
// COM ports and exchange bytes with the driver through this wire.
#ifndef TOV_TESTS_SUPPORT_VIRTUAL_BENCH_H
#define TOV_TESTS_SUPPORT_VIRTUAL_BENCH_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "peer.h"

namespace k73 {

// A byte seen on the wire, for assertions.
struct WireByte {
  int64_t tUs;
  uint8_t byte;
};

class VirtualBench {
 public:
  VirtualBench();  // becomes the active bench for the driver's platform calls
  ~VirtualBench();
  VirtualBench(const VirtualBench&) = delete;
  VirtualBench& operator=(const VirtualBench&) = delete;

  static VirtualBench* active();

  // Puts a peer on COM<n>. Without a peer the port does not exist.
  void attach(int comNumber, Peer* peer);
  void detach(int comNumber);  // the cable is pulled: the port stays open but silent
  // The driver's input queue of COM<n> holds this many bytes at most; more
  // are lost, as in a serial driver's full buffer (0: no limit, the default).
  void limitInputQueue(int comNumber, size_t bytes);

  // What the line between the port and its peer does at a moment: a byte
  // from the peer is lost on it, or the port is gone altogether (a USB
  // adapter unplugged: it cannot be opened, writes fail, nothing arrives)
  // while the peer runs on.
  // An adapter that was gone while the port was open leaves a dead handle:
  // goneUntilUs is when the line was last back (-1: never gone).
  struct LineState {
    bool peerBytesLost = false;
    bool gone = false;
    int64_t goneUntilUs = -1;
  };
  void setLine(int comNumber, std::function<LineState(int64_t tUs)> line);

  int64_t nowUs() const { return nowUs_; }
  int64_t nowMs() const { return nowUs_ / 1000; }
  void advanceToUs(int64_t tUs);  // runs peers' output up to tUs

  // Everything the driver wrote to COM<n>, with the time each byte left.
  const std::vector<WireByte>& sent(int comNumber);
  // Every byte delivered into the driver's input queue of COM<n>.
  const std::vector<WireByte>& received(int comNumber);
  void forgetWire();          // drops both records (a long run keeps no history)
  int openPortCount() const;  // descriptors the driver holds open
  uint32_t baudOf(int comNumber) const;

  // --- platform seam (called by the driver through tov::platform) ---
  intptr_t open(int comNumber, uint32_t baud);
  void close(intptr_t handle);
  void purge(intptr_t handle);
  bool status(intptr_t handle, uint32_t* inQueue, uint32_t* outQueue);
  bool writeByte(intptr_t handle, uint8_t byte);
  bool readByte(intptr_t handle, uint8_t* byte);
  void waitForInput(intptr_t handle, int64_t deadlineMs);
  // The wire never fills up: only a port that cannot be written waits, to the deadline.
  void waitForOutput(intptr_t handle, int64_t deadlineMs);
  void sleepUntilMs(int64_t deadlineMs);

 private:
  struct Port {
    Peer* peer = nullptr;
    bool open = false;
    uint32_t baud = 0;
    std::deque<uint8_t> input;
    size_t inputLimit = 0;
    std::function<LineState(int64_t)> line;
    int64_t openedUs = 0;
    std::vector<WireByte> sent;
    std::vector<WireByte> received;
  };
  Port* portOf(intptr_t handle);  // null for a port that is not open or whose handle died
  void pump(int64_t untilUs);     // move peers' bytes due by untilUs into input queues
  int64_t nextArrivalUs();

  int64_t nowUs_ = 0;
  std::map<int, Port> ports_;
  VirtualBench* previous_ = nullptr;
};

}  // namespace k73

#endif
