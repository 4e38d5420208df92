// A far end of the line that says exactly what a test tells it to, exactly
// when, and remembers everything the driver sent. For deadline tests ("the
// last byte of the reply arrives at the deadline, not a microsecond later")
// and for converters that misbehave in ways the simulator does not model.
//
// Byte by byte, a test schedules bytes at given times (sendAt, reply) or as a
// converter's serial line sends them (transmit), and may react to each byte
// the host sends (onByte). With parsePackets on, it also groups the host's
// bytes into command packets, checks each checksum, keeps the packets and
// answers each with what onPacket returns.
#ifndef TOV_TESTS_SUPPORT_SCRIPTED_PEER_H
#define TOV_TESTS_SUPPORT_SCRIPTED_PEER_H

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <vector>

#include "virtual_bench.h"

namespace k73test {

using Bytes = std::vector<uint8_t>;

// The line rate of the tests' open ports and one byte time (10 bits) at it.
constexpr uint32_t kBaud = 9600;
constexpr int64_t kByteUs = 10'000'000 / kBaud;

// A command packet as the converter received it.
struct Packet {
  uint8_t command;
  uint8_t data;
  int64_t tUs = 0;  // when its last byte was complete at the converter; not compared
  bool operator==(const Packet& o) const { return command == o.command && data == o.data; }
};
void PrintTo(const Packet& packet, std::ostream* out);

class ScriptedPeer : public k73::Peer {
 public:
  // Called for every byte the host sends, when it is complete at the peer.
  // The byte has already been recorded; the rule may schedule an answer.
  using Rule = std::function<void(ScriptedPeer& peer, uint8_t byte, int64_t tUs, uint32_t baud)>;

  // Schedules `bytes` to be complete at the host from tUs on, one every
  // spacingUs (0: all at once). The bench drops bytes while the host's port
  // is closed, as a real line does.
  void sendAt(int64_t tUs, const Bytes& bytes, int64_t spacingUs = 0);
  // The same, after the current time: tUs relative to the host's last byte.
  void reply(const Bytes& bytes, int64_t afterUs = 0, int64_t spacingUs = 0);
  // Sends `bytes` one byte time apart as a serial line does: the first is
  // complete at tUs, or one byte time after the last byte still queued.
  void transmit(int64_t tUs, const Bytes& bytes);
  // When the last byte still queued is complete; 0 when none is.
  int64_t lastByteUs() const;

  Rule onByte;  // reactive behaviour; none by default
  // The rate the peer claims to send at; 0 means "whatever the host uses",
  // so the bench never garbles it.
  uint32_t sendBaud = 0;

  // Packets: off by default (a sign-on's single bytes are not packets).
  bool parsePackets = false;
  std::function<Bytes(uint8_t command, uint8_t data)> onPacket;  // none: no answer
  std::vector<Packet> packets;
  int64_t latencyUs = 200;  // from a packet's last byte to its answer's first

  const std::vector<k73::WireByte>& got() const { return got_; }
  Bytes gotBytes() const;
  int opens() const { return opens_; }
  int closes() const { return closes_; }
  uint32_t lastHostBaud() const { return lastHostBaud_; }
  int64_t lastHostByteUs() const { return lastHostByteUs_; }
  bool pending() const { return !due_.empty(); }

  // k73::Peer
  void hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) override;
  void hostOpened(int64_t tUs, uint32_t hostBaud) override;
  void hostClosed(int64_t tUs) override;
  int64_t nextByteTime() override;
  uint8_t takeByte(uint32_t* baud) override;

 private:
  void packetByte(uint8_t byte, int64_t tUs);

  std::multimap<int64_t, uint8_t> due_;  // insertion order kept for equal times
  std::vector<k73::WireByte> got_;
  Bytes partial_;  // the packet coming in
  int opens_ = 0;
  int closes_ = 0;
  uint32_t lastHostBaud_ = 0;
  int64_t lastHostByteUs_ = 0;
};

}  // namespace k73test

#endif
