#include "scripted_peer.h"

namespace k73test {

void ScriptedPeer::sendAt(int64_t tUs, const Bytes& bytes, int64_t spacingUs) {
  for (uint8_t b : bytes) {
    due_.emplace(tUs, b);
    tUs += spacingUs;
  }
}

void ScriptedPeer::reply(const Bytes& bytes, int64_t afterUs, int64_t spacingUs) {
  sendAt(lastHostByteUs_ + afterUs, bytes, spacingUs);
}

Bytes ScriptedPeer::gotBytes() const {
  Bytes out;
  for (const auto& w : got_) out.push_back(w.byte);
  return out;
}

void ScriptedPeer::hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) {
  got_.push_back({tUs, byte});
  lastHostBaud_ = hostBaud;
  lastHostByteUs_ = tUs;
  if (onByte) onByte(*this, byte, tUs, hostBaud);
}

void ScriptedPeer::hostOpened(int64_t, uint32_t hostBaud) {
  ++opens_;
  lastHostBaud_ = hostBaud;
}

void ScriptedPeer::hostClosed(int64_t) {
  ++closes_;
}

int64_t ScriptedPeer::nextByteTime() {
  return due_.empty() ? k73::kNever : due_.begin()->first;
}

uint8_t ScriptedPeer::takeByte(uint32_t* baud) {
  auto it = due_.begin();
  const uint8_t b = it->second;
  due_.erase(it);
  *baud = sendBaud;
  return b;
}

}  // namespace k73test
