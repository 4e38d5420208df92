#include "output_scheduler.h"

#include <algorithm>

#include "peer.h"

namespace k73 {

int64_t byteTimeUs(uint32_t baud) {
  return baud ? 10'000'000 / baud : 0;
}

void OutputScheduler::send(uint8_t byte, uint32_t baud, int64_t readyUs, OutKind kind) {
  queue_.push_back({byte, baud, readyUs, kind});
}

int64_t OutputScheduler::completeUs(size_t i) const {
  int64_t done = lastCompleteUs_;
  for (size_t k = 0; k <= i; ++k) {
    done = std::max(done, queue_[k].readyUs) + byteTimeUs(queue_[k].baud);
  }
  return done;
}

int64_t OutputScheduler::nextUs() const {
  return queue_.empty() ? kNever : completeUs(0);
}

uint8_t OutputScheduler::take(uint32_t* baud) {
  OutByte out = queue_.front();
  lastCompleteUs_ = completeUs(0);
  queue_.pop_front();
  if (out.kind == OutKind::ChecksumValue) {
    out.byte = checksum_;  // the 0x87 in front of it is already counted
    checksum_ = 0;         // the host clears its sum once it has the reply
  } else if (out.kind != OutKind::LineNoise) {
    checksum_ = static_cast<uint8_t>(checksum_ + out.byte);
  }
  if (baud) *baud = out.baud;
  return out.byte;
}

void OutputScheduler::dropScanBytesNotStartedBy(int64_t tUs) {
  std::deque<OutByte> kept;
  int64_t done = lastCompleteUs_;
  for (const OutByte& b : queue_) {
    const int64_t start = std::max(done, b.readyUs);
    const bool scanByte = b.kind == OutKind::ScanStart || b.kind == OutKind::ScanData;
    if (scanByte && start >= tUs) continue;
    done = start + byteTimeUs(b.baud);
    kept.push_back(b);
  }
  queue_.swap(kept);
}

bool OutputScheduler::insertBeforeScanNotStartedBy(int64_t tUs, std::vector<OutByte> bytes) {
  for (size_t i = 0; i < queue_.size(); ++i) {
    if (queue_[i].kind != OutKind::ScanStart || startUs(i) < tUs) continue;
    for (OutByte& b : bytes) {
      if (b.readyUs < 0) b.readyUs = queue_[i].readyUs;
    }
    queue_.insert(queue_.begin() + i, bytes.begin(), bytes.end());
    return true;
  }
  return false;
}

bool OutputScheduler::holdsScan() const {
  return std::any_of(queue_.begin(), queue_.end(), [](const OutByte& b) {
    return b.kind == OutKind::ScanStart || b.kind == OutKind::ScanData;
  });
}

}  // namespace k73
