// Single bytes with deadlines, the receive checksum, and the tick clock.
#include "link_fixture.h"

namespace linktest {
namespace {

class OpenLink : public LinkBench {
 protected:
  void SetUp() override { ASSERT_TRUE(tov::openPort(&rec, 9600, 0)); }
};

TEST_F(OpenLink, ZeroTimeOutReadsNothingEvenWithAByteWaiting) {
  peer.sendAt(0, {0x42});
  bench.advanceToUs(5000);
  uint8_t dest[2] = {0xEE, 0xEE};
  EXPECT_FALSE(tov::readBytesTimed(&rec, 1, 0, dest));
  EXPECT_EQ(dest[0], 0xEE);
  EXPECT_EQ(bench.nowUs(), 5000);
  EXPECT_TRUE(tov::readBytesTimed(&rec, 1, 1, dest));  // it was there all along
  EXPECT_EQ(dest[0], 0x42);
}

TEST_F(OpenLink, ShortReplyFailsAfterTheFullTimeOutAndKeepsWhatCame) {
  peer.sendAt(100'000, {0x86});
  uint8_t dest[2] = {0, 0xEE};
  EXPECT_EQ(elapsedMs([&] { EXPECT_FALSE(tov::readBytesTimed(&rec, 2, 1500, dest)); }), 1500);
  EXPECT_EQ(dest[0], 0x86);
  EXPECT_EQ(dest[1], 0xEE);
}

TEST_F(OpenLink, ReplyMustBeCompleteBeforeTheDeadline) {
  uint8_t dest[2] = {};
  // Last byte complete one microsecond before the deadline: in time.
  peer.sendAt(0, {0x86});
  peer.sendAt(999'999, {0x07});
  EXPECT_TRUE(tov::readBytesTimed(&rec, 2, 1000, dest));
  EXPECT_EQ(bench.nowUs(), 999'999);
  EXPECT_EQ(dest[1], 0x07);

  // Last byte complete exactly at the deadline: the clock is no longer below
  // it when the byte could be taken, so the reply is late.
  const int64_t start = bench.nowMs() * 1000;
  peer.sendAt(start, {0x86});
  peer.sendAt(start + 1'000'000, {0x08});
  EXPECT_FALSE(tov::readBytesTimed(&rec, 2, 1000, dest));
  EXPECT_EQ(bench.nowUs(), start + 1'000'000);
  EXPECT_EQ(dest[1], 0x07);
}

TEST_F(OpenLink, ReadUntilTellsHowManyCameBeforeTheDeadline) {
  uint8_t dest[4] = {};
  peer.sendAt(0, {0xF0});
  peer.sendAt(400'000, {0x01});
  peer.sendAt(1'000'000, {0x02});  // exactly at the deadline: too late
  EXPECT_EQ(tov::readUntil(&rec, dest, 4, 1000), 2);
  EXPECT_EQ(bench.nowUs(), 1'000'000);
  EXPECT_EQ(dest[1], 0x01);

  // The order that also wants time left once the last byte is in reports
  // what came when it fails.
  int taken = -1;
  peer.sendAt(1'500'000, {0x03});
  EXPECT_FALSE(tov::readAllWithTimeLeft(&rec, dest, 3, 2000, &taken));
  EXPECT_EQ(taken, 2);
  EXPECT_TRUE(tov::readAllWithTimeLeft(&rec, dest, 0, 2001, &taken));
  EXPECT_EQ(taken, 0);
}

TEST_F(OpenLink, EveryReceivedByteFeedsTheChecksumModulo256) {
  rec.rxChecksum = 200;
  peer.sendAt(0, {100});
  uint8_t b = 0;
  ASSERT_TRUE(tov::readBytesTimed(&rec, 1, 10, &b));
  EXPECT_EQ(rec.rxChecksum, 44);
  EXPECT_EQ(rec.lastRxByte, 100);

  // Drained bytes count too; the destination keeps the last one taken.
  peer.sendAt(bench.nowUs(), {0x10, 0x20, 0x30});
  bench.advanceToUs(bench.nowUs() + 1);
  tov::drainInput(&rec, &b);
  EXPECT_EQ(b, 0x30);
  EXPECT_EQ(rec.lastRxByte, 0x30);
  EXPECT_EQ(rec.rxChecksum, (44 + 0x60) % 256);

  // Nothing waiting: nothing changes.
  tov::drainInput(&rec, &b);
  EXPECT_EQ(b, 0x30);
  EXPECT_FALSE(tov::readByte(&rec, &b));
  EXPECT_EQ(rec.rxChecksum, (44 + 0x60) % 256);
}

TEST_F(OpenLink, ReadOfNothingAtAllReturnsAtOnce) {
  uint8_t b = 0;
  EXPECT_EQ(elapsedMs([&] { EXPECT_TRUE(tov::readBytesTimed(&rec, 0, 1000, &b)); }), 0);
}

TEST_F(LinkBench, WritingToAPortThatIsNotOpenGivesUpAfterThreeSeconds) {
  EXPECT_EQ(elapsedMs([&] { EXPECT_FALSE(tov::writeByte(&rec, 0x55)); }), 3000);
  EXPECT_EQ(elapsedMs([&] { EXPECT_FALSE(tov::sendPacket(&rec, 0x86, 0)); }), 3000);
}

TEST_F(LinkBench, OpenFailsWithoutAConverterAndLeavesTheSlotFree) {
  rec.deviceIndex = 4;  // COM5: nothing attached
  EXPECT_FALSE(tov::openPort(&rec, 300, 1000));
  EXPECT_FALSE(tov::portIsOpen(&rec));
  EXPECT_EQ(bench.openPortCount(), 0);
}

TEST_F(LinkBench, OpenPurgesWhatWaitedAndRecordsTheSettings) {
  ASSERT_TRUE(tov::openPort(&rec, 300, 1000));
  peer.sendAt(0, {1, 2, 3});
  tov::closePort(&rec);
  EXPECT_EQ(bench.openPortCount(), 0);
  EXPECT_FALSE(tov::portIsOpen(&rec));
  ASSERT_TRUE(tov::openPort(&rec, 2400, 0));
  uint8_t b = 0;
  EXPECT_FALSE(tov::readByte(&rec, &b));
  EXPECT_EQ(rec.dcb.BaudRate, 2400u);
  EXPECT_EQ(rec.dcb.ByteSize, 8);
  EXPECT_EQ(rec.dcb.fDtrControl, 1u);
  EXPECT_EQ(rec.dcb.fRtsControl, 0u);
  EXPECT_EQ(bench.baudOf(1), 2400u);
}

TEST_F(LinkBench, TickCountIsTheIntegerFormulaOfTheClock) {
  bench.advanceToUs(1000 * 1000);
  EXPECT_EQ(tov::tickCount(), 18);
  bench.advanceToUs(10000 * 1000);
  EXPECT_EQ(tov::tickCount(), 182);
}

TEST_F(LinkBench, WaitTicksEndsAtTheFirstMillisecondOfTheTargetTick) {
  auto ticksAt = [](int64_t ms) { return ((ms * 14) / 100 * 13) / 100; };
  for (int64_t startMs : {0, 1, 70, 275, 279, 280, 999, 1000, 54'321}) {
    for (int64_t n : {1, 2, 4, 5, 10}) {
      bench.advanceToUs(std::max(bench.nowUs(), startMs * 1000));
      const int64_t from = bench.nowMs();
      const int64_t target = ticksAt(from) + n;
      int64_t expected = from;
      while (ticksAt(expected) < target) ++expected;
      tov::waitTicks(n);
      EXPECT_EQ(bench.nowMs(), expected) << "from " << from << " ms, " << n << " ticks";
    }
  }
  const int64_t before = bench.nowUs();
  tov::waitTicks(0);
  EXPECT_EQ(bench.nowUs(), before);
}

TEST_F(LinkBench, BusyWaitSleepsExactlyItsTime) {
  EXPECT_EQ(elapsedMs([] { tov::busyWaitMs(500); }), 500);
}

}  // namespace
}  // namespace linktest
