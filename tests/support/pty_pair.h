// A raw pseudo-terminal pair: the master plays the converter's end of the
// line, the slave the host's serial port. For the pseudo-terminal tests and
// the benchmark.
#ifndef TOV_TESTS_SUPPORT_PTY_PAIR_H
#define TOV_TESTS_SUPPORT_PTY_PAIR_H

#include <termios.h>

#include <cstddef>
#include <cstdint>

namespace k73test {

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
  // The converter's end goes away.
  void closeMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
};

// Makes a terminal raw (8 data bits, no flow control, reads that never
// block) at the given rate.
bool makeRaw(int fd, speed_t speed);

// Waits up to timeoutMs for fd to become readable (or writable).
bool waitReadable(int fd, int timeoutMs);
bool waitWritable(int fd, int timeoutMs);
// Writes all of data to a non-blocking descriptor, waiting for room.
bool writeAll(int fd, const uint8_t* data, size_t size);
// Reads exactly size bytes, waiting up to timeoutMs for each.
bool readExactly(int fd, uint8_t* data, size_t size, int timeoutMs);

}  // namespace k73test

#endif
