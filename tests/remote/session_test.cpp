// The RFC 2217 port against a scripted server in virtual time: the clock
// jumps to the next byte from the server or to the deadline, so every wait
// is exact and a wait that does not advance the clock is a spin.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "remote_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tov::platform::RemotePort;

constexpr int64_t kNever = INT64_MAX;
constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253, DONT = 254, NOP = 241;

class ScriptedServer : public tov::platform::ByteStream {
 public:
  void sendAt(int64_t ms, const Bytes& bytes) { due_.emplace(ms, bytes); }
  void closeAt(int64_t ms) { closeAt_ = ms; }
  // Called with everything the client has sent so far, after each send.
  std::function<void(ScriptedServer&)> onClientBytes;

  int64_t now = 0;
  Bytes fromClient;
  int idleWakeUps = 0;  // waits that returned with nothing new and the clock unchanged

  int64_t nowMs() override { return now; }
  long send(const uint8_t* bytes, size_t count) override {
    if (now >= closeAt_) return -1;
    fromClient.insert(fromClient.end(), bytes, bytes + count);
    if (onClientBytes) onClientBytes(*this);
    return static_cast<long>(count);
  }
  long receive(uint8_t* buffer, size_t size) override {
    size_t n = 0;
    while (!due_.empty() && due_.begin()->first <= now) {
      Bytes& next = due_.begin()->second;
      const size_t take = std::min(size - n, next.size());
      std::copy(next.begin(), next.begin() + static_cast<long>(take), buffer + n);
      n += take;
      next.erase(next.begin(), next.begin() + static_cast<long>(take));
      if (!next.empty()) break;
      due_.erase(due_.begin());
    }
    if (n == 0 && now >= closeAt_) return -1;
    return static_cast<long>(n);
  }
  void wait(bool forOutput, int64_t deadlineMs) override {
    if (forOutput) return;
    const int64_t next =
        std::min({due_.empty() ? kNever : due_.begin()->first, closeAt_, deadlineMs});
    const bool receivable = (!due_.empty() && due_.begin()->first <= now) || now >= closeAt_;
    if (next <= now && !receivable) ++idleWakeUps;
    now = std::max(now, next);
  }
  void sleepUntil(int64_t deadlineMs) override { now = std::max(now, deadlineMs); }

  // Answers each SET-BAUDRATE with `rate` (the rate asked for when 0) and
  // the framing with `framing` (data size, parity, stop size), `delayMs` later.
  void answerLineSettings(int64_t delayMs, uint32_t rate = 0, Bytes framing = {8, 1, 1}) {
    scanned_ = fromClient.size();
    onClientBytes = [delayMs, rate, framing](ScriptedServer& s) {
      const Bytes ask{IAC, SB, 44, 1};
      auto at = s.fromClient.begin() + static_cast<long>(s.scanned_);
      at = std::search(at, s.fromClient.end(), ask.begin(), ask.end());
      if (at == s.fromClient.end() || s.fromClient.end() - at < 10) return;
      s.scanned_ = static_cast<size_t>(at - s.fromClient.begin()) + 10;
      Bytes answer{IAC, SB, 44, 101};
      answer.insert(answer.end(), at + 4, at + 8);
      if (rate != 0)
        std::copy_n(
            Bytes{uint8_t(rate >> 24), uint8_t(rate >> 16), uint8_t(rate >> 8), uint8_t(rate)}
                .begin(),
            4, answer.begin() + 4);
      answer.insert(answer.end(), {IAC, SE});
      if (!s.framingAnswered_) {
        for (uint8_t i = 0; i < 3; ++i)
          answer.insert(answer.end(), {IAC, SB, 44, uint8_t(102 + i), framing[i], IAC, SE});
        s.framingAnswered_ = true;
      }
      s.sendAt(s.now + delayMs, answer);
    };
  }

 private:
  std::multimap<int64_t, Bytes> due_;
  int64_t closeAt_ = kNever;
  size_t scanned_ = 0;  // client bytes already looked through for a rate
  bool framingAnswered_ = false;
};

// The framing answers a server gives when it takes 8N1.
const Bytes k8N1Answers{IAC, SB,  44, 102, 8,  IAC, SE,  IAC, SB,  44, 103,
                        1,   IAC, SE, IAC, SB, 44,  104, 1,   IAC, SE};

// What ser2net says first: SGA and ECHO offers, binary both ways, DO
// COM-PORT, and the modem state.
const Bytes kSer2netGreeting{IAC, WILL, 3,    IAC, DO,  3,  IAC, WILL, 1,  IAC, DONT, 1, IAC, DO,
                             0,   IAC,  WILL, 0,   IAC, DO, 44,  IAC,  SB, 44,  107,  0, IAC, SE};

bool contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

Bytes readAll(RemotePort& port) {
  Bytes got;
  uint8_t byte;
  while (port.readByte(&byte)) got.push_back(byte);
  return got;
}

TEST(RemotePortSession, NegotiatesAndWaitsOnlyForTheBaudRateAnswer) {
  ScriptedServer server;
  server.sendAt(1, kSer2netGreeting);
  server.sendAt(2, {0x03, 0x55});  // left over on the line before we came: dropped
  server.answerLineSettings(4);    // SET-CONTROL is never answered
  RemotePort port(&server);
  const char* why = "";
  ASSERT_TRUE(port.start(9600, 3000, &why)) << why;
  EXPECT_EQ(server.now, 5);  // the answer's moment, not a later one
  EXPECT_EQ(server.idleWakeUps, 0);
  const Bytes& sent = server.fromClient;
  EXPECT_TRUE(contains(sent, {IAC, WILL, 0}));
  EXPECT_TRUE(contains(sent, {IAC, DO, 0}));
  EXPECT_TRUE(contains(sent, {IAC, WILL, 44}));
  EXPECT_TRUE(contains(sent, {IAC, SB,  44, 1,  0, 0, 0x25, 0x80, IAC, SE, IAC, SB, 44, 2,   8, IAC,
                              SE,  IAC, SB, 44, 3, 1, IAC,  SE,   IAC, SB, 44,  4,  1,  IAC, SE}));
  EXPECT_TRUE(contains(sent, {IAC, SB, 44, 5, 8, IAC, SE}));   // DTR on
  EXPECT_TRUE(contains(sent, {IAC, SB, 44, 5, 12, IAC, SE}));  // RTS off
  EXPECT_TRUE(contains(sent, {IAC, DONT, 1}) || contains(sent, {IAC, 252, 3}));
  EXPECT_TRUE(readAll(port).empty());

  port.purgeInput();
  EXPECT_TRUE(contains(server.fromClient, {IAC, SB, 44, 12, 1, IAC, SE}));
}

// A port whose server greets as ser2net does and answers the rate at once.
class StartedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    server.sendAt(0, kSer2netGreeting);
    server.answerLineSettings(0);
    ASSERT_TRUE(port.start(9600, 3000, &why)) << why;
  }
  ScriptedServer server;
  RemotePort port{&server};
  const char* why = "";
};

TEST_F(StartedPort, OxFFIsDoubledOnTheWireAndNeverConfusedWithACommand) {
  // Commands out: a packet whose data and checksum are 0xFF.
  server.fromClient.clear();
  for (uint8_t b : {0x00, 0xFF, 0xFF, 0x81}) ASSERT_TRUE(port.writeByte(b));
  EXPECT_EQ(server.fromClient, (Bytes{0x00, IAC, IAC, IAC, IAC, 0x81}));

  // A scan of small negative bipolar 24-bit readings (-1, -2, -256 counts),
  // doubled, cut between the two halves of a doubled byte, with a NOP and a
  // modem-state notice in the middle of a point.
  const Bytes scan{0xF0, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0x0F};
  server.sendAt(10, {0xF0, IAC, IAC, IAC});
  server.sendAt(11, {IAC, IAC, IAC, IAC, NOP, 0xFE, IAC, IAC, IAC, SB, 44, 107, 0x30, IAC, SE});
  server.sendAt(12, {IAC, IAC, 0x00, IAC, IAC, IAC, IAC, 0x0F});
  Bytes got;
  while (got.size() < scan.size() && server.now < 100) {
    port.waitForInput(100);
    const Bytes more = readAll(port);
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(got, scan);
  EXPECT_EQ(server.now, 12);
  EXPECT_EQ(server.idleWakeUps, 0);
}

TEST(RemotePortSession, TheLineIsReadyOnlyWhenTheServerAnswersTheNewRate) {
  ScriptedServer server;
  server.sendAt(0, kSer2netGreeting);
  // The old rate first, with the converter's garble at that rate, then the new.
  server.sendAt(3, {IAC, SB, 44, 101, 0, 0, 1, 44, IAC, SE, 0xFF, 0xFF, 0x12});
  server.sendAt(4, k8N1Answers);
  server.sendAt(50, {IAC, SB, 44, 101, 0, 0, 0x12, 0xC0, IAC, SE});
  RemotePort port(&server);
  const char* why = "";
  ASSERT_TRUE(port.start(4800, 3000, &why)) << why;
  EXPECT_EQ(server.now, 50);
  EXPECT_TRUE(readAll(port).empty());

  ScriptedServer silent;
  silent.sendAt(0, kSer2netGreeting);
  RemotePort unanswered(&silent);
  EXPECT_FALSE(unanswered.start(4800, 3000, &why));
  EXPECT_EQ(silent.now, 3000);
  EXPECT_EQ(silent.idleWakeUps, 0);
  EXPECT_STREQ(why, "timed out waiting for the server's answers to the line settings");

  ScriptedServer refusing;
  refusing.sendAt(7, {IAC, DONT, 44});
  RemotePort plainTelnet(&refusing);
  EXPECT_FALSE(plainTelnet.start(4800, 3000, &why));
  EXPECT_STREQ(why, "the server never took up the COM-PORT option (not an RFC 2217 server?)");
}

TEST(RemotePortSession, AServerThatRefuses8N1IsAFailedOpenWithItsReason) {
  const char* why = "";
  const std::pair<Bytes, const char*> refusals[] = {{{7, 1, 1}, "the server refused 8 data bits"},
                                                    {{8, 3, 1}, "the server refused no parity"},
                                                    {{8, 1, 2}, "the server refused one stop bit"}};
  for (const auto& [framing, reason] : refusals) {
    ScriptedServer server;
    server.sendAt(0, kSer2netGreeting);
    server.answerLineSettings(6, 0, framing);
    RemotePort port(&server);
    EXPECT_FALSE(port.start(9600, 3000, &why));
    EXPECT_STREQ(why, reason);
    EXPECT_EQ(server.now, 6);  // at the answer, not at the deadline
  }
}

TEST_F(StartedPort, ARateChangeStaysOnTheConnectionAndWaitsForItsAnswer) {
  server.fromClient.clear();
  server.answerLineSettings(40);
  server.sendAt(server.now + 10, {0x33});  // still at the old rate: dropped
  const int64_t asked = server.now;
  ASSERT_TRUE(port.changeRate(4800, asked + 3000, &why)) << why;
  EXPECT_EQ(server.fromClient, (Bytes{IAC, SB, 44, 1, 0, 0, 0x12, 0xC0, IAC, SE}));
  EXPECT_EQ(server.now, asked + 40);
  EXPECT_TRUE(readAll(port).empty());
  EXPECT_EQ(server.idleWakeUps, 0);
}

TEST_F(StartedPort, ALineThatNeverDrainsHoldsNoMoreThanTheInputQueue) {
  port.limitInput(1000);
  server.sendAt(5, Bytes(3000, 0x42));
  port.waitForInput(10);
  EXPECT_EQ(port.inputWaiting(), 1000u);
  uint8_t byte = 0;
  for (int i = 0; i < 600; ++i) ASSERT_TRUE(port.readByte(&byte));
  server.sendAt(20, Bytes(3000, 0x43));  // room again for what was read, no more
  server.now = 20;
  EXPECT_EQ(port.inputWaiting(), 1000u);
}

TEST_F(StartedPort, AServerThatClosesMidReplyIsAPortGone) {
  // Half a reply, then half a Telnet command, then the end of the stream.
  server.sendAt(20, {0x81, 0x12, IAC});
  server.closeAt(21);
  port.waitForInput(1000);
  EXPECT_EQ(readAll(port), (Bytes{0x81, 0x12}));
  port.waitForInput(1000);  // the end of the stream is not more data
  EXPECT_TRUE(port.gone());
  EXPECT_EQ(server.now, 1000);
  port.waitForInput(2000);  // a gone port sleeps out every deadline, once
  EXPECT_EQ(server.now, 2000);
  EXPECT_FALSE(port.writeByte(0x81));
  port.waitForOutput(3000);  // nothing can be written: sleep, do not come back at once
  EXPECT_EQ(server.now, 3000);
  EXPECT_EQ(server.idleWakeUps, 0);

  ScriptedServer hangsUp;
  hangsUp.sendAt(0, kSer2netGreeting);
  hangsUp.closeAt(2);
  RemotePort early(&hangsUp);
  EXPECT_FALSE(early.start(9600, 3000, &why));
  EXPECT_TRUE(early.droppedBeforeNegotiation());  // worth a new connection
  EXPECT_EQ(hangsUp.now, 2);
}

TEST(RemotePortSession, OnlyWellFormedUrlsNameARemotePort) {
  std::string host, port;
  ASSERT_TRUE(tov::platform::parseRemoteTarget("rfc2217://bench3:3001", &host, &port));
  EXPECT_EQ(host, "bench3");
  EXPECT_EQ(port, "3001");
  ASSERT_TRUE(tov::platform::parseRemoteTarget("rfc2217://[::1]:7000", &host, &port));
  EXPECT_EQ(host, "::1");
  for (const char* bad :
       {"rfc2217://bench3", "rfc2217://:3001", "rfc2217://bench3:0", "rfc2217://bench3:65536",
        "rfc2217://bench3:30x", "rfc2217:bench3:3001", "rfc2217://a:1:2", "rfc2217://bench3:3001/",
        "telnet://bench3:3001", "rfc2217://[::1]3001", "/dev/pts/3"})
    EXPECT_FALSE(tov::platform::parseRemoteTarget(bad, &host, &port)) << bad;
}

}  // namespace
