// The converter's transmitter: bytes waiting to go out, each sent one byte
// time (10 bits at its line rate) after the previous one is complete and not
// before the moment it is ready. Also keeps the link checksum of what has gone
// out, because the checksum reply reports the bytes actually sent before it.
#ifndef K73_SIM_OUTPUT_SCHEDULER_H
#define K73_SIM_OUTPUT_SCHEDULER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace k73 {

int64_t byteTimeUs(uint32_t baud);

enum class OutKind : uint8_t {
  Reply,          // an answer to the host
  ChecksumValue,  // filled in when it leaves: the sum of every byte sent since the reset
  ScanStart,      // first byte of a scan
  ScanData,       // the rest of a scan
  LineNoise,      // made by the line, not the converter: not in its checksum
};

struct OutByte {
  uint8_t byte;
  uint32_t baud;
  int64_t readyUs;  // may not start before this
  OutKind kind;
};

class OutputScheduler {
 public:
  void send(uint8_t byte, uint32_t baud, int64_t readyUs, OutKind kind = OutKind::Reply);
  bool empty() const { return queue_.empty(); }
  size_t size() const { return queue_.size(); }
  // When the byte at position i is complete at the host (queue must hold it).
  int64_t completeUs(size_t i) const;
  int64_t nextUs() const;  // kNever when nothing waits
  uint8_t take(uint32_t* baud);
  // Drops the queued scan bytes that have not started by tUs (a stop).
  void dropScanBytesNotStartedBy(int64_t tUs);
  // Puts bytes directly in front of the first queued scan that has not
  // started by tUs; false when there is none. Bytes with a negative readyUs
  // take the scan's.
  bool insertBeforeScanNotStartedBy(int64_t tUs, std::vector<OutByte> bytes);
  bool holdsScan() const;
  void clear() { queue_.clear(); }
  int64_t lastCompleteUs() const { return lastCompleteUs_; }

  void resetChecksum() { checksum_ = 0; }
  // A byte the converter sent that the line lost: still in its checksum.
  void countLost(uint8_t byte) { checksum_ = static_cast<uint8_t>(checksum_ + byte); }
  uint8_t checksum() const { return checksum_; }

 private:
  int64_t startUs(size_t i) const { return completeUs(i) - byteTimeUs(queue_[i].baud); }
  std::deque<OutByte> queue_;
  int64_t lastCompleteUs_ = 0;
  uint8_t checksum_ = 0;
};

}  // namespace k73

#endif
