// Scans that carry the converter's digital inputs: one query outstanding at a
// time, the answer taken out in front of a scan, and the debug log's lines.
#include <cstdio>
#include <string>

#include "scan_bench.h"

namespace scanbench {
namespace {

constexpr uint8_t kInputs = 0x5A;

// A converter that answers a digital-input query in front of its next scan.
class DigInBench : public ScanBench {
 protected:
  void SetUp() override {
    ScanBench::SetUp();
    converter.onPacket = [this](uint8_t command, uint8_t data) {
      if (command == 0x80 && data == 0x4C) ++queries;
      return Bytes{};
    };
  }
  void TearDown() override {
    if (tov::debugLog) std::fclose(tov::debugLog);
    tov::debugLog = nullptr;
    ScanBench::TearDown();
  }

  // Sends the next scan; an unanswered query is answered in front of it.
  void nextScan() {
    Bytes bytes = framedScan(rec.pointsPerScan, rec.bytesPerConversion);
    if (answered < queries) {
      bytes.insert(bytes.begin(), {0x80, kInputs});
      ++answered;
    }
    converter.transmit(bench.nowUs() + 10'000, bytes);
  }

  void openLog() { tov::debugLog = std::tmpfile(); }
  std::string logText() {
    std::string text;
    std::rewind(tov::debugLog);
    for (int c; (c = std::fgetc(tov::debugLog)) != EOF;) text.push_back(static_cast<char>(c));
    std::fseek(tov::debugLog, 0, SEEK_END);
    return text;
  }

  int queries = 0;
  int answered = 0;
  uint8_t fresh = 0;
};

TEST_F(DigInBench, WithoutRequestsItTakesPlainScansLikeGetOneScan) {
  nextScan();
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 1);
  EXPECT_EQ(held(), Bytes({1, 2, 3, 17, 18, 19, 0x0F}));
  EXPECT_EQ(fresh, 0);
  EXPECT_TRUE(converter.packets.empty());

  // An answer still in the stream from earlier is taken out all the same.
  rec.scanBufferCount = 0;
  queries = 1;
  nextScan();
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 1);
  EXPECT_EQ(fresh, 1);
  EXPECT_EQ(rec.digitalIn, kInputs);
  EXPECT_EQ(held(), Bytes({1, 2, 3, 17, 18, 19, 0x0F}));
  EXPECT_TRUE(converter.packets.empty());
}

TEST_F(DigInBench, OneQueryIsOutstandingAtATimeAndEachAnswerSendsTheNext) {
  const struct {
    bool answerExpected;
    int queriesAfter;
  } scans[] = {{false, 1}, {true, 2}, {true, 3}, {true, 4}};
  converter.onPacket = [this](uint8_t command, uint8_t) {
    if (command == 0x80) ++queries;
    return Bytes{};
  };
  for (const auto& s : scans) {
    fresh = 0;
    nextScan();
    ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 1);
    EXPECT_EQ(fresh, s.answerExpected ? 1 : 0);
    EXPECT_EQ(queries, s.queriesAfter);
    EXPECT_EQ(rec.digInPending, 1);
    rec.scanBufferCount = 0;
  }

  // Once the caller stops asking, the last answer sends nothing more, and a
  // later request in the same run is not sent again: only a new start re-arms.
  nextScan();
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 1);
  rec.scanBufferCount = 0;
  nextScan();
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 1);
  EXPECT_EQ(queries, 4);
  EXPECT_EQ(converter.packets, (std::vector<Packet>(4, Packet{0x80, 0x4C})));
}

TEST_F(DigInBench, PlainScansWithQueriesWaitingSendNoneUntilTheAnswer) {
  // A converter that takes its time with the answer: three scans go by.
  converter.onPacket = [](uint8_t, uint8_t) { return Bytes{}; };
  for (int i = 0; i < 3; ++i) {
    nextScan();
    ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 1);
    rec.scanBufferCount = 0;
  }
  EXPECT_EQ(converter.packets, (std::vector<Packet>{Packet{0x80, 0x4C}}));
}

TEST_F(DigInBench, AnAnswerInFrontIsTakenOutAndTheScanCompleted) {
  openLog();
  queries = 1;
  nextScan();  // 80 5A F0 01 02 03 11 12 13 0F
  const int64_t start = bench.nowUs();
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 1);
  EXPECT_EQ(rec.digitalIn, kInputs);
  EXPECT_EQ(fresh, 1);
  EXPECT_EQ(held(), Bytes({1, 2, 3, 17, 18, 19, 0x0F}));
  EXPECT_EQ(bench.nowUs(), start + 10'000 + 9 * kByteUs);  // the scan's last byte
  EXPECT_EQ(converter.packets, (std::vector<Packet>{Packet{0x80, 0x4C}}));
  EXPECT_EQ(logText(),
            "GetOneScanWithDigin()-> first 3:  (80, 5A, F0)  "
            "GetOneScanWithDigin()-> next 7:  (01, 02, 03, 11, 12, 13, 0F)\r\n");
}

TEST_F(DigInBench, PlainScansAreLoggedWithTheirFirstEightBytes) {
  openLog();
  nextScan();
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 1);
  EXPECT_EQ(logText(), "GetOneScanWithDigin()-> 8 bytes:  (F0, 01, 02, 03, 11, 12, 13, 0F)\r\n");
}

TEST_F(DigInBench, AnAnswerNotFollowedByAStartMarkerIsAFramingFailure) {
  converter.transmit(bench.nowUs(), {0x80, kInputs, 0x00, 0x0A, 1, 2, 3, 0x0F});
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 0);
  EXPECT_EQ(rec.lastError, 1);
  EXPECT_EQ(fresh, 0);
  EXPECT_TRUE(converter.packets.empty());

  openLog();
  rec.scanBufferCount = 0;
  converter.transmit(bench.nowUs(), {0x80, kInputs, 0x00, 0x0A, 1, 2, 3, 0x0F});
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 0);
  EXPECT_EQ(logText(), "\r\nGetOneScanWithDigin()-> 8 error bytes: (80, 5A, 0, A, 1, 2, 3, F, ");

  rec.scanBufferCount = 0;
  converter.transmit(bench.nowUs(), {0x7F, 1, 2, 3, 4, 5, 6, 0x0F});
  rec.lastError = 0;
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 0);
  EXPECT_EQ(rec.lastError, 1);
}

TEST_F(DigInBench, TheScanBehindAnAnswerMustEndInTime) {
  // Only one of the two bytes behind the answer ever comes.
  converter.transmit(bench.nowUs(), {0x80, kInputs, 0xF0, 1, 2, 3, 17, 18, 19});
  rec.lastError = 0;
  const int64_t lastByte = converter.lastByteUs();
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 0);
  EXPECT_EQ(rec.lastError, 1);
  EXPECT_EQ(fresh, 1);  // the input byte itself was good
  EXPECT_EQ(rec.digitalIn, kInputs);
  EXPECT_EQ(bench.nowMs(), (lastByte - kByteUs) / 1000 + 2500);  // 2.5 s after the first 8 bytes
  EXPECT_TRUE(converter.packets.empty());
}

TEST_F(DigInBench, TheLongestScanThatFitsAlsoFitsBehindAnAnswer) {
  rec.pointsPerScan = 63;  // 128 bytes a scan
  rec.bytesPerConversion = 2;
  queries = 1;
  nextScan();
  ASSERT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 1);
  EXPECT_EQ(rec.scanBufferCount, 127);
  EXPECT_EQ(rec.scanBuffer[126], 0x0F);
  EXPECT_EQ(fresh, 1);

  // One more point would need 130 bytes: refused before anything is read.
  rec.scanBufferCount = 0;
  rec.pointsPerScan = 64;
  nextScan();
  bench.advanceToUs(converter.lastByteUs());
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 0), 0);
  EXPECT_EQ(rec.lastError, 3);
  EXPECT_EQ(GetNumBytesInBuffer(&rec), 130u);
}

TEST_F(DigInBench, SingleChannelScansCarryNoMarkersToLookAt) {
  rec.scanType = 0;
  converter.transmit(bench.nowUs(), {0x80, kInputs, 0xF0});
  EXPECT_EQ(GetOneScanWithDigin(&rec, &fresh, 1), 1);
  EXPECT_EQ(held(), Bytes({0x80, kInputs, 0xF0}));
  EXPECT_EQ(fresh, 0);
  EXPECT_TRUE(converter.packets.empty());
}

}  // namespace
}  // namespace scanbench
