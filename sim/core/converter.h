// The Model K73 converter's side of the link: a protocol state machine over
// a signal model, with no I/O of its own. Transports (the in-memory wire of
// the tests' virtual bench, the pseudo-terminal of k73sim) feed it the host's
// bytes with their times and take its bytes when they are due.
//
// Times are microseconds on the transport's clock. Each byte the converter
// sends is scheduled one byte time (10 bits at the current line rate) after
// the previous one, so nextByteTime() is when the byte is complete at the host.
//
// How this converter behaves where the host asks nothing in particular:
// - Replies start 1 ms after the request's last byte; a conversion after
//   remoteAvg conversion periods more, a calibration after four periods.
// - In standby (mode bit 0) the front end is powered down: every command is
//   still answered, and conversions and scans read as a zero input (0 counts
//   unipolar, mid-scale bipolar).
// - Sleep answers 0x88, 0x80 and then ignores everything but a new wake-up
//   (0x00 at 300 baud).
// - A packet with a bad checksum is ignored; so is a garbled configuration
//   or mode word (no echo follows, and the settings stay as they were).
// - A scan that cannot be measured and sent within the interval gives one
//   0x0A where the first scan is due, and the stream stops there until 0x8A.
// - The scan timer runs at 3906.25 / 2^baudIndex ticks per second, or at
//   4882.8125 / 2^baudIndex on firmware above 100 whose counter 0 was given
//   a preset other than 255.
// - A stop drops whatever of the scan has not started on the line and ends
//   with 0x8A.
#ifndef K73_SIM_CONVERTER_H
#define K73_SIM_CONVERTER_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "peer.h"

namespace k73 {

// Ways the converter can misbehave, for the driver's failure paths.
struct Misbehaviour {
  bool silent = false;                // never sends anything
  bool noHandshake = false;           // ignores the 0x00 wake-up bytes
  bool noiseInQuietPeriod = false;    // sends a byte during the quiet period after 0x03
  bool answerSleepByte = false;       // answers the sign-on's 0x88 byte
  bool wrongBaudEcho = false;         // echoes another value than the baud index
  bool noBaudEcho = false;            // does not echo the baud index
  bool wrongModeEcho = false;         // the mode echo's middle byte is off by one
  uint8_t modeEchoHighExtraBits = 0;  // OR-ed into the high mode echo (bits 5..7 are ignored)
  int wrongEcho = -1;                 // >= 0: replies to commands start with this byte instead
  int shortReply = -1;                // >= 0: replies are cut to this many bytes
  bool noStopByte = false;            // the stream stops without a final 0x8A
  // Scanning.
  bool badStartMarker = false;     // scans begin with 0xF1 instead of 0xF0
  bool badEndMarker = false;       // scans end with 0x0E instead of 0x0F
  int stopAfterScans = -1;         // >= 0: the stream stops after this many scans...
  bool stopAfterRateByte = false;  // ...with a 0x0A as its last byte
  int cutScanAfterBytes = -1;      // >= 0: the first scan is cut short after this many
                                   // bytes, and the stream stops there
  // Line faults, on every byte the converter sends (0: off).
  int dropByteEvery = 0;          // every n-th byte is lost on the line
  int doubleByteEvery = 0;        // every n-th byte arrives twice
  int noiseBurstAfterBytes = -1;  // >= 0: after this many bytes sent since the wake-up, a burst
  int noiseBurstLength = 8;       //   of this many 0x55 bytes is pushed into the line
};

struct Model {
  uint8_t firmwareVersion = 100;
  // Input voltage in mV per channel (0..5 external, 6 full-scale, 7 zero)
  // and sub-channel (control code 0..15), before gain.
  double inputMv[8][16] = {};
  double noiseMv = 0;  // peak-to-peak size of uniform noise on each conversion
  // A slowly varying input: sine of this amplitude and period on one channel.
  int waveChannel = -1;
  int waveSubChannel = 0;
  double waveAmplitudeMv = 0;
  double wavePeriodS = 0;
  uint8_t digitalInputs = 0;
  uint32_t seed = 1;
  // Every point of a scan carries the scan's serial number as its counts
  // (stampCounts), so a log line tells which scan it came from. Needs 3-byte
  // words; with 2-byte words the stamp's low two bytes go out.
  bool stampScans = false;
  uint64_t firstStamp = 0;  // the serial of its first scan (a restarted converter goes on)
  Misbehaviour misbehave;

  // The default bench: a few steady voltages and one slowly varying one.
  static Model demo();
};

// What a received packet (or a single sign-on byte) meant to the converter.
enum class PacketKind : uint8_t {
  Command,    // a command packet outside sign-on
  ModeWord,   // a mode packet (sign-on configuration or after command 0x84)
  Config,     // sign-on's averaging/filter packet and its closing (0, 0)
  Interval,   // sign-on's interval count and scan-table packets
  Handshake,  // single bytes of the sign-on: 0x00 wake-up, 0x88, baud index
  Event,      // something the converter did on its own (no packet)
};

// A packet (or sign-on byte, or event) the converter received, for assertions
// and reports.
struct ReceivedPacket {
  int64_t tUs;
  uint8_t command;
  uint8_t data;
  bool checksumOk;
  PacketKind kind = PacketKind::Command;
  // The mode word (high << 16 | mid << 8 | low) once its second packet is in,
  // the interval count after the interval packets, or an event code.
  uint32_t detail = 0;
};

// A scan the converter measured and queued for the line, whether or not
// anyone hears it: the record a reliability run accounts for.
struct MadeScan {
  uint64_t serial;  // scans made by this converter before this one
  int64_t tickUs;   // the timer tick it was measured at
  uint32_t counts;  // its first point's counts
};

// A scan's serial number as counts whose bytes are 0x10..0xEF: never a scan
// marker, the rate byte or a stop byte, so a misframed stream shows. Serials
// up to 224^3 - 1 (11 million).
uint32_t stampCounts(uint64_t serial);
// The serial a stamp carries, or -1 for counts that are no stamp.
int64_t serialOfStamp(uint32_t counts);

class Converter : public Peer {
 public:
  explicit Converter(Model model = Model::demo());
  ~Converter() override;
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  Model& model() { return model_; }

  // Peer
  void hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) override;
  void hostOpened(int64_t tUs, uint32_t hostBaud) override;
  void hostClosed(int64_t tUs) override;
  int64_t nextByteTime() override;
  uint8_t takeByte(uint32_t* baud) override;

  // The line rate the converter expects and sends at right now.
  uint32_t lineBaud() const;

  // What it has been told, for tests and the simulator's report.
  const std::vector<ReceivedPacket>& packets() const;
  uint8_t modeHigh() const;
  uint8_t modeMid() const;
  uint8_t modeLow() const;
  uint8_t filter() const;
  uint32_t remoteAvg() const;
  uint8_t channelCode() const;
  uint8_t digitalOutputs() const;
  bool asleep() const;
  bool scanning() const;
  uint32_t intervalCount() const;
  int16_t scanTableEntry(int channel) const;
  int signOns() const;  // completed configuration downloads

  // One line per event ("packet 81 00", "mode 00 90 a1", ...), for k73sim's report.
  std::string describe(const ReceivedPacket& p) const;

  // Report lines (as describe() prints them) for every packet and event since
  // the last call, oldest first.
  std::vector<std::string> takeReportLines();
  // Drops the packet history (a long-running server keeps only its report).
  void forgetPackets();

  // More state, for tests.
  int pendingDigitalInputAnswers() const;  // answers still to go in front of a scan
  double scanIntervalS() const;            // the interval the scan timer runs at now
  double tickRateHz() const;               // the scan timer's ticks per second (K)
  bool standby() const;
  uint32_t counterCount(int counter) const;  // -1 (all ones) until programmed
  int scansSent() const;                     // scans generated in the current run
  uint64_t scansMade() const;                // scans generated since it was built

  // Called with every scan as it is generated (the converter's own record).
  void recordScans(std::function<void(const MadeScan&)> record);

  // Expected counts for an input of `mv` millivolts under a mode word, without
  // noise: the converter's transfer function (gain, clipping, polarity, word).
  static uint32_t countsFor(double mv, uint8_t modeHigh, uint8_t modeMid);

 private:
  struct Impl;
  Impl* impl_;
  Model model_;
};

}  // namespace k73

#endif
