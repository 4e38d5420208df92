// A far end of the line that says exactly what a test tells it to, exactly
// when, and remembers everything the driver sent. For deadline tests ("the
// last byte of the reply arrives at the deadline, not a microsecond later")
// and for converters that misbehave in ways the simulator does not model.
#ifndef TOV_TESTS_SUPPORT_SCRIPTED_PEER_H
#define TOV_TESTS_SUPPORT_SCRIPTED_PEER_H

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "virtual_bench.h"

namespace k73test {

using Bytes = std::vector<uint8_t>;

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

  Rule onByte;  // reactive behaviour; none by default
  // The rate the peer claims to send at; 0 means "whatever the host uses",
  // so the bench never garbles it.
  uint32_t sendBaud = 0;

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
  std::multimap<int64_t, uint8_t> due_;  // insertion order kept for equal times
  std::vector<k73::WireByte> got_;
  int opens_ = 0;
  int closes_ = 0;
  uint32_t lastHostBaud_ = 0;
  int64_t lastHostByteUs_ = 0;
};

}  // namespace k73test

#endif
