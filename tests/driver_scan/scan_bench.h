// A converter on COM1 in virtual time whose scan stream each test writes by
// hand, and a record whose port is open at 9600 baud as after a sign-on.
#ifndef TOV_TESTS_DRIVER_SCAN_SCAN_BENCH_H
#define TOV_TESTS_DRIVER_SCAN_SCAN_BENCH_H

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include "bench_record.h"
#include "link.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace scanbench {

constexpr uint32_t kBaud = 9600;
constexpr int64_t kByteUs = 10'000'000 / kBaud;

using Bytes = std::vector<uint8_t>;

struct Packet {
  uint8_t command;
  uint8_t data;
  int64_t tUs;  // when its last byte was complete at the converter
  bool operator==(const Packet& o) const { return command == o.command && data == o.data; }
};

inline Packet packet(uint8_t command, uint8_t data) {
  return {command, data, 0};
}

// Groups the host's bytes into packets and answers each with what the test's
// handler returns; sends whatever the test queues, one byte time apart.
class ScanConverter : public k73::Peer {
 public:
  std::function<Bytes(uint8_t command, uint8_t data)> onPacket;
  std::vector<Packet> packets;
  bool parsePackets = true;  // off while a sign-on's single bytes go by

  // Queues bytes whose first is complete at the host at tUs.
  void sendAt(int64_t tUs, const Bytes& bytes) {
    int64_t t = std::max(tUs, out_.empty() ? tUs : out_.back().first + kByteUs);
    for (uint8_t b : bytes) {
      out_.push_back({t, b});
      t += kByteUs;
    }
  }
  // Time at which the last queued byte is complete.
  int64_t lastByteUs() const { return out_.empty() ? 0 : out_.back().first; }

  void hostByte(uint8_t byte, int64_t tUs, uint32_t) override {
    if (!parsePackets) return;
    partial_.push_back(byte);
    if (partial_.size() < 3) return;
    packets.push_back({partial_[0], partial_[1], tUs});
    EXPECT_EQ(static_cast<uint8_t>(partial_[0] + partial_[1]), partial_[2]) << "packet checksum";
    Bytes answer = onPacket ? onPacket(partial_[0], partial_[1]) : Bytes{};
    partial_.clear();
    if (!answer.empty()) sendAt(tUs + 200 + kByteUs, answer);
  }
  int64_t nextByteTime() override { return out_.empty() ? k73::kNever : out_.front().first; }
  uint8_t takeByte(uint32_t* baud) override {
    *baud = 0;  // whatever rate the host listens at
    const uint8_t b = out_.front().second;
    out_.pop_front();
    return b;
  }

 private:
  Bytes partial_;
  std::deque<std::pair<int64_t, uint8_t>> out_;
};

// A normal or self-calibrating scan: 0xF0, `points` words of `width` bytes
// (point i holds bytes i*16+1, i*16+2, ...), 0x0F.
inline Bytes framedScan(int points, int width) {
  Bytes scan{0xF0};
  for (int i = 0; i < points; ++i)
    for (int j = 0; j < width; ++j) scan.push_back(static_cast<uint8_t>(i * 16 + j + 1));
  scan.push_back(0x0F);
  return scan;
}

class ScanBench : public ::testing::Test {
 protected:
  void SetUp() override {
    rec.scanInterval = 0.5;
    rec.pointsPerScan = 2;
    rec.channel = 2;
    rec.subChannel = 5;
    rec.filter = 2;
    rec.firmwareVersion = 100;
    rec.replyTimeout = 2000;
    bench.attach(1, &converter);
    ASSERT_TRUE(tov::openPort(&rec, kBaud, 0));
  }
  void TearDown() override { tov::closePort(&rec); }

  Bytes held() const { return Bytes(rec.scanBuffer, rec.scanBuffer + rec.scanBufferCount); }

  // Queues `count` bytes of filler and lets them arrive.
  void fillQueue(int count) {
    converter.sendAt(bench.nowUs() + kByteUs, Bytes(count, 0x55));
    bench.advanceToUs(converter.lastByteUs());
  }

  k73::VirtualBench bench;
  ScanConverter converter;
  DeviceRecord rec = k73test::benchRecord();
};

}  // namespace scanbench

#endif
