// The pseudo-terminal's own ceiling: bytes carried from master to slave with
// nothing else in the way.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "measure.h"
#include "pty_pair.h"
#include "runs.h"

namespace bench {

using k73test::PtyPair;
using k73test::waitReadable;
using k73test::waitWritable;

double pumpBytesPerSecond(size_t writeChunk, size_t readChunk, double seconds) {
  PtyPair pty;
  if (!pty.ok() || writeChunk == 0 || readChunk == 0) return 0;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const std::vector<uint8_t> chunk(writeChunk, 0x5A);
    while (!stop.load(std::memory_order_relaxed)) {
      const ssize_t n = write(pty.master(), chunk.data(), chunk.size());
      if (n < 0 && errno == EAGAIN) waitWritable(pty.master(), 50);
    }
  });
  std::vector<uint8_t> buf(readChunk);
  uint64_t carried = 0;
  const double start = nowS();
  double now = start;
  while ((now = nowS()) - start < seconds) {
    const ssize_t n = read(pty.slave(), buf.data(), buf.size());
    if (n > 0) {
      carried += uint64_t(n);
    } else {
      waitReadable(pty.slave(), 50);
    }
  }
  stop = true;
  writer.join();
  return double(carried) / (now - start);
}

}  // namespace bench
