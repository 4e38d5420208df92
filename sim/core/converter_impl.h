// The converter's protocol state machine, shared by its source files.
#ifndef K73_SIM_CONVERTER_IMPL_H
#define K73_SIM_CONVERTER_IMPL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "converter.h"
#include "output_scheduler.h"
#include "scan_timer.h"
#include "signal_model.h"

namespace k73 {

constexpr uint32_t kBaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};
constexpr uint32_t kSignOnBaud = 300;
constexpr int64_t kProcessingUs = 1000;  // from a request's last byte to the reply
// A packet whose bytes are further apart than this is abandoned: the host
// writes its three bytes back to back.
constexpr int64_t kPacketGapUs = 500'000;
// Mid sign-on at 300 baud a 0x00 may be data (baud index 0, a zero mode
// byte); after this long a quiet line it is a new wake-up instead. The host
// waits a little over a second between the 0x88 and the baud index.
constexpr int64_t kQuietRestartUs = 2'000'000;

// Event codes in ReceivedPacket::detail for PacketKind::Event.
enum EventCode : uint32_t {
  kEventSignedOn = 1,
  kEventScanOverrun = 2,
  kEventAsleep = 3,
  kEventHostOpened = 4,
  kEventStreamHalted = 5,
  kEventIgnoredAsleep = 6,
};

// ReceivedPacket::detail for PacketKind::Handshake.
enum HandshakeCode : uint32_t {
  kHandshakeWakeUp = 0,     // 0x00 at 300 baud
  kHandshakeSleepByte = 1,  // the 0x88 that clears the checksum
  kHandshakeBaudIndex = 2,  // the working baud index
  kHandshakeNewRate = 3,    // the first byte at the working rate
};

// Flags the last interval packet, whose detail holds the 24-bit count.
constexpr uint32_t kLastIntervalPacket = 0x80000000u;

enum class Phase {
  Idle,           // waiting for the 0x00 wake-up at 300 baud
  WaitSleepByte,  // answered 0x03; next comes 0x88
  WaitBaudIndex,  // next comes the working baud index
  WaitWake,       // at the new rate: one 0x00
  Config,         // four configuration packets, then the mode echo
  Interval,       // five interval and scan-table packets
  Online,         // command packets
  ModePackets,    // after command 0x84: two mode packets, then the mode echo
  Asleep,         // silent until a new sign-on
};

struct Converter::Impl {
  explicit Impl(Model& m) : model(m) {}

  Model& model;
  Phase phase = Phase::Idle;
  uint32_t baud = kSignOnBaud;  // the rate it listens and talks at
  int baudIndex = 5;

  // Packet assembly.
  uint8_t pkt[3] = {};
  int pktLen = 0;
  int64_t lastHostUs = -kQuietRestartUs * 10;
  int phasePackets = 0;  // packets so far in Config, Interval or ModePackets
  bool phaseOk = true;   // every packet of the phase had a good checksum

  // Settings.
  ModeWord mode;
  ModeWord pendingMode;
  uint8_t pendingAvg = 1;
  uint8_t pendingFilter = 2;
  uint8_t filter = 2;
  uint32_t remoteAvg = 1;
  uint8_t channelCode = 0;
  uint8_t digitalOutputs = 0;
  uint32_t intervalCount = 0;
  uint8_t scanTable[6] = {};
  uint8_t pendingInterval[3] = {};
  uint8_t pendingTable[6] = {};
  uint32_t counters[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  int counterTarget = -1;  // 0..2 a counter, 3 the control register
  int counterBytes = 0;    // bytes of the current count received
  uint8_t counterLow = 0;
  int signOns = 0;

  // Output and scanning.
  SignalModel signal;
  OutputScheduler out;
  ScanRun scan;
  bool streamHalted = false;  // the run goes on but sends nothing more
  int64_t scanMeasureUs = 0;
  int pendingDigin = 0;
  uint64_t bytesQueued = 0;  // since the last wake-up, for the line faults
  uint64_t scansMade = 0;
  std::function<void(const MadeScan&)> recordScan;

  // History.
  std::vector<ReceivedPacket> packets;
  std::vector<std::string> report;
  const Converter* owner = nullptr;

  // protocol.cpp
  void hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud);
  void hostOpened(int64_t tUs, uint32_t hostBaud);
  bool wakeUpAllowed(int64_t tUs) const;
  void wakeUp(int64_t tUs);
  void signOnByte(uint8_t byte, int64_t tUs);
  void packet(int64_t tUs);
  void configPacket(ReceivedPacket& p, int64_t tUs);
  void intervalPacket(ReceivedPacket& p);
  void modePacket(ReceivedPacket& p, int64_t tUs);
  void command(uint8_t cmd, uint8_t data, int64_t tUs);
  void counterPacket(uint8_t cmd, uint8_t data);
  void startScan(uint8_t cmd, int64_t tUs);
  void stopScan(int64_t tUs);
  void digitalInputQuery(int64_t tUs);

  // output.cpp
  void send(uint8_t byte, int64_t readyUs, OutKind kind = OutKind::Reply);
  // commandReply: subject to the short-reply fault; echoFirst: its first
  // byte is the command echoed (subject to the wrong-echo fault).
  void reply(std::vector<uint8_t> bytes, int64_t readyUs, bool commandReply = true,
             bool echoFirst = true);
  void modeEcho(int64_t readyUs);
  // Converts `averages` times from readyUs and answers after `periods` conversion periods.
  void conversionReply(uint8_t cmd, uint8_t code, int64_t readyUs, uint32_t averages,
                       uint32_t periods);
  void appendWord(std::vector<uint8_t>& bytes, uint32_t counts) const;
  void catchUpScans(int64_t tUs);
  void generateScan();
  double tickRate() const;
  bool countersPreset() const;

  void log(const ReceivedPacket& p);
  void event(int64_t tUs, uint32_t code, uint8_t a = 0, uint8_t b = 0);
};

}  // namespace k73

#endif
