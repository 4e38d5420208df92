// A raw pseudo-terminal pair owned by the benchmark: the master plays the
// converter's end, the slave the host's serial port.
#ifndef TOV_BENCH_PTY_PAIR_H
#define TOV_BENCH_PTY_PAIR_H

#include <cstddef>
#include <cstdint>

namespace bench {

class PtyPair {
 public:
  PtyPair();  // both ends raw and non-blocking; ok() tells whether it worked
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  // Someone else closed the slave (a driver that closed its port).
  void forgetSlave() { slave_ = -1; }

 private:
  int master_ = -1;
  int slave_ = -1;
};

// Waits up to timeoutMs for fd to become readable (or writable).
bool waitReadable(int fd, int timeoutMs);
bool waitWritable(int fd, int timeoutMs);
// Writes all of data to a non-blocking descriptor, waiting for room.
bool writeAll(int fd, const uint8_t* data, size_t size);
// Reads exactly size bytes, waiting up to timeoutMs for each.
bool readExactly(int fd, uint8_t* data, size_t size, int timeoutMs);

// Bytes per second carried from master to slave for `seconds`, writing and
// reading at most the given number of bytes per call: large chunks give the
// terminal's own ceiling, one byte per call the way the simulator writes and
// the driver reads.
double pumpBytesPerSecond(size_t writeChunk, size_t readChunk, double seconds);

}  // namespace bench

#endif
