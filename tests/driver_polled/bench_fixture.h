// A converter on COM1 in virtual time whose answers each test scripts, and a
// record whose port is already open at 9600 baud, as after a sign-on.
#ifndef TOV_TESTS_DRIVER_POLLED_BENCH_FIXTURE_H
#define TOV_TESTS_DRIVER_POLLED_BENCH_FIXTURE_H

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "bench_record.h"
#include "link.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace polled {

constexpr uint32_t kBaud = 9600;
constexpr int64_t kByteUs = 10'000'000 / kBaud;

using Packet = std::pair<uint8_t, uint8_t>;  // command, data
using Bytes = std::vector<uint8_t>;

// Groups the host's bytes into packets and answers each with the bytes the
// test's handler returns, one byte time apart after the packet is complete.
class ScriptedConverter : public k73::Peer {
 public:
  std::function<Bytes(uint8_t command, uint8_t data)> onPacket;
  std::vector<Packet> packets;
  int64_t latencyUs = 200;
  int64_t lastPacketUs = 0;  // when the last packet was complete at the converter

  void sendAt(int64_t tUs, uint8_t byte) { out_.push_back({tUs, byte}); }

  void hostByte(uint8_t byte, int64_t tUs, uint32_t) override {
    partial_.push_back(byte);
    if (partial_.size() < 3) return;
    packets.push_back({partial_[0], partial_[1]});
    lastPacketUs = tUs;
    const bool checksumOk = static_cast<uint8_t>(partial_[0] + partial_[1]) == partial_[2];
    EXPECT_TRUE(checksumOk) << "bad packet checksum";
    Bytes answer = onPacket ? onPacket(partial_[0], partial_[1]) : Bytes{};
    partial_.clear();
    int64_t t = std::max(tUs, out_.empty() ? 0 : out_.back().first) + latencyUs;
    for (uint8_t b : answer) sendAt(t += kByteUs, b);
  }
  int64_t nextByteTime() override { return out_.empty() ? k73::kNever : out_.front().first; }
  uint8_t takeByte(uint32_t* baud) override {
    *baud = kBaud;
    uint8_t b = out_.front().second;
    out_.pop_front();
    return b;
  }

 private:
  Bytes partial_;
  std::deque<std::pair<int64_t, uint8_t>> out_;
};

// Answers like a converter that accepts every mode word (0x84, two mode
// packets, the three-byte echo) and every calibration (echo and a word of
// `wordBytes` bytes); `other` answers everything else.
inline std::function<Bytes(uint8_t, uint8_t)> acceptingConverter(
    const int* wordBytes, std::function<Bytes(uint8_t, uint8_t)> other = nullptr) {
  auto modePacket = std::make_shared<int>(-1);  // -1: not in a mode exchange
  auto high = std::make_shared<uint8_t>(0);
  auto mid = std::make_shared<uint8_t>(0);
  return [=](uint8_t command, uint8_t data) -> Bytes {
    if (*modePacket == 0) {
      *high = command, *mid = data, *modePacket = 1;
      return {};
    }
    if (*modePacket == 1) {
      *modePacket = -1;
      return {*high, *mid, command};
    }
    if (command == 0x84) {
      *modePacket = 0;
      return {0x84};
    }
    if (command == 0x82 || command == 0x83) {
      Bytes reply(*wordBytes + 1, 0x11);
      reply[0] = command;
      return reply;
    }
    return other ? other(command, data) : Bytes{};
  };
}

class PolledBench : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only the link is set up: no scan, no counter preset.
    rec.scanType = 0;
    rec.scanInterval = 0;
    rec.pointsPerScan = 0;
    rec.counterPreset = 0;
    rec.replyTimeout = 2000;
    bench.attach(1, &converter);
    ASSERT_TRUE(tov::openPort(&rec, kBaud, 0));
  }
  void TearDown() override { tov::closePort(&rec); }

  // Runs one export and gives the virtual milliseconds it took.
  template <typename Call>
  int64_t elapsedMs(Call call) {
    const int64_t start = bench.nowMs();
    call();
    return bench.nowMs() - start;
  }

  k73::VirtualBench bench;
  ScriptedConverter converter;
  DeviceRecord rec = k73test::benchRecord();
};

}  // namespace polled

#endif
