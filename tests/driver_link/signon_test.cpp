// Bringing a converter on line: handshake, quiet periods, baud switch,
// configuration download, restarts, and taking it off line again.
#include <cstring>

#include "link_fixture.h"

namespace linktest {
namespace {

constexpr uint8_t kVersionReply = 0x86;

// A converter whose every step of the sign-on a test can spoil.
struct SigningConverter {
  bool answerWakeUp = true;
  Bytes wakeUpAnswer = {0x03};
  bool noiseAfterSleepByte = false;
  int baudEcho = -1;  // -1: the index it was sent; -2: none
  uint8_t modeHighExtraBits = 0;
  bool wrongModeEcho = false;
  bool answerVersion = true;
  uint8_t version = 100;
  std::function<void(const char* step)> at;  // a hook at each step, for the vanishing converter

  std::vector<Packet> packets;  // everything sent at the working rate, after the 0x00
  int sleepBytes = 0;

  void attachTo(k73test::ScriptedPeer& peer) {
    peer.onByte = [this](k73test::ScriptedPeer& p, uint8_t b, int64_t, uint32_t baud) {
      hear(p, b, baud);
    };
  }

 private:
  enum class Phase { Handshake, BaudIndex, WorkingWake, Working };
  Phase phase_ = Phase::Handshake;
  Bytes partial_;
  int configPackets_ = 0;

  void say(k73test::ScriptedPeer& p, const Bytes& bytes, uint32_t baud) {
    p.reply(bytes, 3000, 10'000'000 / baud);
  }

  void hear(k73test::ScriptedPeer& p, uint8_t b, uint32_t baud) {
    if (baud == 300) {
      if (phase_ == Phase::BaudIndex) {
        if (at) at("baud");
        phase_ = Phase::WorkingWake;
        if (baudEcho == -1) say(p, {b}, baud);
        if (baudEcho >= 0) say(p, {static_cast<uint8_t>(baudEcho)}, baud);
      } else if (b == 0x88) {
        ++sleepBytes;
        if (at) at("sleep");
        phase_ = Phase::BaudIndex;
        if (noiseAfterSleepByte) say(p, {0x55}, baud);
      } else if (b == 0x00) {
        phase_ = Phase::Handshake;
        if (answerWakeUp) say(p, wakeUpAnswer, baud);
      }
      return;
    }
    if (phase_ == Phase::WorkingWake) {
      phase_ = Phase::Working;
      configPackets_ = 0;
      partial_.clear();
      return;
    }
    partial_.push_back(b);
    if (partial_.size() < 3) return;
    packets.push_back({partial_[0], partial_[1]});
    partial_.clear();
    if (++configPackets_ == 4) {
      if (at) at("mode");
      const Packet high = packets[packets.size() - 4];
      const Packet low = packets[packets.size() - 3];
      say(p,
          {static_cast<uint8_t>(high.command | modeHighExtraBits),
           static_cast<uint8_t>(high.data + (wrongModeEcho ? 1 : 0)), low.command},
          baud);
    } else if (packets.back().command == kVersionReply && configPackets_ > 9 && answerVersion) {
      say(p, {kVersionReply, version}, baud);
    }
  }
};

class SignOnBench : public LinkBench {
 protected:
  SignOnBench() { converter.attachTo(peer); }

  SigningConverter converter;
};

TEST_F(SignOnBench, DownloadsTheWholeConfigurationAndReadsTheVersion) {
  rec.scanTable[1] = 0x2F;
  ASSERT_EQ(SignOn(&rec), 1);
  EXPECT_TRUE(tov::portIsOpen(&rec));
  EXPECT_EQ(bench.baudOf(1), 9600u);
  EXPECT_EQ(rec.firmwareVersion, 100);
  const std::vector<Packet> expected = {
      {0x00, 0x97}, {0xA1, 0}, {1, 0},       {0, 0},  // mode word, averaging and filter
      {131, 30},    {0, 0x00}, {0x2F, 0x10}, {0x10, 0x10}, {0x10, 0},  // interval, table
      {0x86, 0}};
  EXPECT_EQ(converter.packets, expected);
  EXPECT_EQ(rec.modeMid, 0x97);
  // The receive checksum starts at the 0x88: the baud echo, mode echo and version.
  EXPECT_EQ(rec.rxChecksum, (0 + 0x00 + 0x97 + 0xA1 + 0x86 + 100) % 256);
  EXPECT_EQ(rec.scanBufferCount, 0);
  EXPECT_EQ(peer.opens(), 2);  // 300 baud, then the working rate
}

TEST_F(SignOnBench, KeepsTheQuietPeriodsAndTickWaitsOnTheWire) {
  ASSERT_EQ(SignOn(&rec), 1);
  const auto& sent = bench.sent(1);
  ASSERT_GE(sent.size(), 4u);
  // 0x00, 0x88, baud index at 300 baud; the 0x88 follows a wait of 5 ticks
  // and a silent second after the 0x03, the baud index a silent second and a
  // wait of 2 ticks after the 0x88. A wait of n ticks that starts within a
  // tick lasts more than n - 1 tick lengths.
  const int64_t answerUs = bench.received(1).front().tUs;
  const int64_t sleepByteUs = sent[1].tUs;
  const int64_t baudIndexUs = sent[2].tUs;
  EXPECT_EQ(sent[1].byte, 0x88);
  EXPECT_GE(sleepByteUs - answerUs, (1000 + 4 * 1000 / 18.2) * 1000);
  EXPECT_LE(sleepByteUs - answerUs, (1000 + 5 * 1000 / 18.2 + 1) * 1000);
  EXPECT_GE(baudIndexUs - sleepByteUs, (1000 + 1 * 1000 / 18.2) * 1000);
  EXPECT_LE(baudIndexUs - sleepByteUs, (1000 + 2 * 1000 / 18.2 + 1) * 1000);
}

struct IntervalCase {
  double interval;
  int16_t baudIndex;
  int32_t counterPreset;
  Packet first, second;  // (low, mid), (high, table entry 0)
};

TEST_F(SignOnBench, IntervalCountFromIntervalRateAndTimeBase) {
  const IntervalCase cases[] = {
      {2.0, 0, -1, {131, 30}, {0, 0x05}},     // x = 7811.6953
      {100.0, 0, -1, {224, 245}, {5, 0x05}},  // x = 390625.2
      {2.0, 0, 0, {36, 38}, {0, 0x05}},       // newer time base: x = 9764.87
      {2.0, 1, -1, {65, 15}, {0, 0x05}},      // half the clock at 4800 baud
  };
  rec.scanTable[0] = 0x05;
  for (const IntervalCase& c : cases) {
    converter.packets.clear();
    rec.scanInterval = c.interval;
    rec.baudIndex = c.baudIndex;
    rec.counterPreset = c.counterPreset;
    ASSERT_EQ(SignOn(&rec), 1) << c.interval;
    ASSERT_GE(converter.packets.size(), 6u);
    EXPECT_EQ(converter.packets[4], c.first) << c.interval << " s at index " << c.baudIndex;
    EXPECT_EQ(converter.packets[5], c.second) << c.interval << " s at index " << c.baudIndex;
  }
}

TEST_F(SignOnBench, NewerFirmwareGetsItsTimerCountersProgrammed) {
  converter.version = 101;
  rec.channel = 1;
  rec.subChannel = 2;
  ASSERT_EQ(SignOn(&rec), 1);
  const std::vector<Packet> counters(converter.packets.begin() + 10, converter.packets.end());
  const std::vector<Packet> expected = {
      {1, 0x12 | 0x87}, {7, 0x34}, {1, 0x12 | 0x84},     {7, 0xFF}, {7, 0x00},  // counter 0
      {1, 0x12 | 0x87}, {7, 0x72}, {1, 0x12 | 0x84 | 1}, {7, 0xFF}, {7, 0x00},  // counter 1
      {1, 0x12 | 0x87}, {7, 0xB2}, {1, 0x12 | 0x84 | 2}, {7, 0x01}, {7, 0x00},  // counter 2
  };
  EXPECT_EQ(counters, expected);
}

TEST_F(SignOnBench, HandshakeTriesTenTimesThenFailsWithoutAnotherAttempt) {
  converter.answerWakeUp = false;
  const int64_t ms = elapsedMs([&] { EXPECT_EQ(SignOn(&rec), 0); });
  const auto& sent = bench.sent(1);
  ASSERT_EQ(sent.size(), 10u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].byte, 0x00);
    if (i > 0) {
      EXPECT_NEAR(sent[i].tUs - sent[i - 1].tUs, 10 * 1'000'000 / 18.2, 1000);
    }
  }
  EXPECT_NEAR(ms, 100 * 1000 / 18.2, 10);
  EXPECT_EQ(peer.opens(), 1);
  EXPECT_FALSE(tov::portIsOpen(&rec));
  EXPECT_EQ(bench.openPortCount(), 0);
}

TEST_F(SignOnBench, HandshakeSkipsOtherBytesBeforeTheAnswer) {
  converter.wakeUpAnswer = {0x7F, 0x00, 0x03};
  EXPECT_EQ(SignOn(&rec), 1);
  EXPECT_EQ(bench.sent(1).front().byte, 0x00);
  EXPECT_EQ(peer.opens(), 2);
}

TEST_F(SignOnBench, NoiseInTheQuietPeriodsRestartsUpToFourAttempts) {
  converter.noiseAfterSleepByte = true;
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_EQ(converter.sleepBytes, 4);
  EXPECT_EQ(peer.opens(), 4);
  EXPECT_EQ(peer.closes(), 4);
  EXPECT_FALSE(tov::portIsOpen(&rec));
  EXPECT_EQ(rec.reopenPending, 0);

  // Chatter right after the wake-up answer spoils the first quiet period.
  converter.noiseAfterSleepByte = false;
  converter.wakeUpAnswer = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44};
  converter.sleepBytes = 0;
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_EQ(converter.sleepBytes, 0);
  EXPECT_EQ(peer.opens(), 8);
}

TEST_F(SignOnBench, WrongBaudEchoRestartsButAMissingOneFailsAtOnce) {
  converter.baudEcho = 3;
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_EQ(peer.opens(), 4);
  EXPECT_EQ(bench.openPortCount(), 0);

  converter.baudEcho = -2;
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_EQ(peer.opens(), 5);
  EXPECT_EQ(bench.openPortCount(), 0);
}

TEST_F(SignOnBench, ModeEchoIgnoresTheTopBitsButNotAWrongByte) {
  converter.modeHighExtraBits = 0xE0;
  EXPECT_EQ(SignOn(&rec), 1);

  converter.modeHighExtraBits = 0;
  converter.wrongModeEcho = true;
  const int opensBefore = peer.opens();
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_EQ(peer.opens() - opensBefore, 8);  // four attempts, each opening twice
  EXPECT_EQ(bench.openPortCount(), 0);
}

TEST_F(SignOnBench, NoVersionRestarts) {
  converter.answerVersion = false;
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_EQ(peer.opens(), 8);
  EXPECT_EQ(bench.openPortCount(), 0);
}

TEST_F(SignOnBench, RefusesADeviceIndexOutsideThePortTable) {
  tov::platform::Port* before[TOV_PORT_SLOTS];
  DeviceRecord other = rec;
  other.deviceIndex = 7;
  SetComHandle(&other, 12345);  // a handle some client set; it must stay
  std::memcpy(before, tov::portTable, sizeof before);
  for (int16_t index : {255, -1, 1000}) {
    rec.deviceIndex = index;
    EXPECT_EQ(SignOn(&rec), 0);
    EXPECT_EQ(CloseDevice(&rec), 1);
    TovHandle handle = 0;
    GetComHandle(&rec, &handle);
    EXPECT_EQ(handle, TOV_INVALID_HANDLE);
  }
  EXPECT_EQ(std::memcmp(before, tov::portTable, sizeof before), 0);
  EXPECT_EQ(bench.nowUs(), 0);
  TovHandle kept = 0;
  GetComHandle(&other, &kept);
  EXPECT_EQ(kept, 12345);
  SetComHandle(&other, TOV_INVALID_HANDLE);
}

TEST_F(SignOnBench, APortThatDoesNotExistFailsAtOnce) {
  rec.deviceIndex = 3;  // COM4: nothing there
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(SignOn(&rec), 0); }), 0);
  EXPECT_EQ(bench.openPortCount(), 0);
}

TEST_F(SignOnBench, ABaudIndexOutsideTheTableIsRefusedBeforeAnythingIsSent) {
  rec.baudIndex = 6;
  EXPECT_EQ(SignOn(&rec), 0);
  rec.baudIndex = -1;
  EXPECT_EQ(SignOn(&rec), 0);
  EXPECT_TRUE(bench.sent(1).empty());
}

TEST_F(SignOnBench, AConverterThatVanishesMidwayLeavesNoPortOpen) {
  for (const char* step : {"sleep", "baud", "mode"}) {
    k73::VirtualBench fresh;
    k73test::ScriptedPeer line;
    SigningConverter dying;
    dying.attachTo(line);
    dying.at = [&](const char* now) {
      if (std::strcmp(now, step) == 0) fresh.detach(1);
    };
    fresh.attach(1, &line);
    const int64_t start = fresh.nowMs();
    EXPECT_EQ(SignOn(&rec), 0) << step;
    EXPECT_LT(fresh.nowMs() - start, 12'000) << step;
    EXPECT_EQ(fresh.openPortCount(), 0) << step;
    EXPECT_FALSE(tov::portIsOpen(&rec)) << step;
  }
}

TEST_F(SignOnBench, SigningOnAgainStartsOverAndCloseDeviceStopsTheConverter) {
  for (int cycle = 0; cycle < 50; ++cycle) {
    ASSERT_EQ(SignOn(&rec), 1) << cycle;
    ASSERT_EQ(SignOn(&rec), 1) << cycle;  // on line already: closed and reopened at 300
    ASSERT_EQ(bench.openPortCount(), 1);
    const size_t before = bench.sent(1).size();
    ASSERT_EQ(CloseDevice(&rec), 1);
    const auto& sent = bench.sent(1);
    ASSERT_EQ(sent.size() - before, 4u);
    EXPECT_EQ(Bytes(1, sent[before].byte), Bytes{0x8A});
    EXPECT_EQ(sent.back().byte, 0x00);
    ASSERT_EQ(bench.openPortCount(), 0);
  }
  EXPECT_EQ(peer.opens(), 200);

  const size_t before = bench.sent(1).size();
  EXPECT_EQ(elapsedMs([&] { EXPECT_EQ(CloseDevice(&rec), 1); }), 0);
  EXPECT_EQ(bench.sent(1).size(), before);
}

}  // namespace
}  // namespace linktest
