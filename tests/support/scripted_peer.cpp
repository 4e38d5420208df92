#include "scripted_peer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace k73test {

void PrintTo(const Packet& packet, std::ostream* out) {
  *out << "{" << int(packet.command) << ", " << int(packet.data) << "}";
}

void ScriptedPeer::sendAt(int64_t tUs, const Bytes& bytes, int64_t spacingUs) {
  for (uint8_t b : bytes) {
    due_.emplace(tUs, b);
    tUs += spacingUs;
  }
}

void ScriptedPeer::reply(const Bytes& bytes, int64_t afterUs, int64_t spacingUs) {
  sendAt(lastHostByteUs_ + afterUs, bytes, spacingUs);
}

void ScriptedPeer::transmit(int64_t tUs, const Bytes& bytes) {
  if (!due_.empty()) tUs = std::max(tUs, lastByteUs() + kByteUs);
  sendAt(tUs, bytes, kByteUs);
}

int64_t ScriptedPeer::lastByteUs() const {
  return due_.empty() ? 0 : due_.rbegin()->first;
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
  if (parsePackets) packetByte(byte, tUs);
}

void ScriptedPeer::packetByte(uint8_t byte, int64_t tUs) {
  partial_.push_back(byte);
  if (partial_.size() < 3) return;
  packets.push_back({partial_[0], partial_[1], tUs});
  EXPECT_EQ(static_cast<uint8_t>(partial_[0] + partial_[1]), partial_[2]) << "packet checksum";
  const Bytes answer = onPacket ? onPacket(partial_[0], partial_[1]) : Bytes{};
  partial_.clear();
  if (!answer.empty()) transmit(tUs + latencyUs + kByteUs, answer);
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
