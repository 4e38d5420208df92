// The Model K73 converter's side of the link: a protocol state machine over
// a signal model, with no I/O of its own. Transports (the in-memory wire of
// the virtual bench, the pseudo-terminal of k73sim) feed it the host's bytes
// with their times and take its bytes when they are due.
//
// Times are microseconds on the transport's clock. Each byte the converter
// sends is scheduled one byte time (10 bits at the current line rate) after
// the previous one, so nextByteTime() is when the byte is complete at the host.
#ifndef K73_SIM_CONVERTER_H
#define K73_SIM_CONVERTER_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "virtual_bench.h"

namespace k73 {

// Ways the converter can misbehave, for the driver's failure paths.
struct Misbehaviour {
  bool silent = false;              // never sends anything
  bool noHandshake = false;         // ignores the 0x00 wake-up bytes
  bool noiseInQuietPeriod = false;  // sends a byte during the quiet period after 0x03
  bool answerSleepByte = false;     // answers the sign-on's 0x88 byte
  bool wrongBaudEcho = false;       // echoes another value than the baud index
  bool noBaudEcho = false;          // does not echo the baud index
  bool wrongModeEcho = false;       // the mode echo's middle byte is off by one
  uint8_t modeEchoHighExtraBits = 0;  // OR-ed into the high mode echo (bits 5..7 are ignored)
  int wrongEcho = -1;               // >= 0: replies to commands start with this byte instead
  int shortReply = -1;              // >= 0: replies are cut to this many bytes
  bool noStopByte = false;          // the stream stops without a final 0x8A
  // Scanning.
  bool badStartMarker = false;      // scans begin with 0xF1 instead of 0xF0
  bool badEndMarker = false;        // scans end with 0x0E instead of 0x0F
  int stopAfterScans = -1;          // >= 0: the stream stops after this many scans...
  bool stopAfterRateByte = false;   // ...with a 0x0A as its last byte
  int cutScanAfterBytes = -1;       // >= 0: a scan is cut short after this many bytes
};

struct Model {
  uint8_t firmwareVersion = 100;
  // Input voltage in mV per channel (0..5 external, 6 full-scale, 7 zero)
  // and sub-channel (control code 0..15), before gain.
  double inputMv[8][16] = {};
  double noiseMv = 0;         // peak-to-peak size of uniform noise on each conversion
  // A slowly varying input: sine of this amplitude and period on one channel.
  int waveChannel = -1;
  int waveSubChannel = 0;
  double waveAmplitudeMv = 0;
  double wavePeriodS = 0;
  uint8_t digitalInputs = 0;
  uint32_t seed = 1;
  Misbehaviour misbehave;

  // The default bench: a few steady voltages and one slowly varying one.
  static Model demo();
};

// A command packet the converter received, for assertions and reports.
struct ReceivedPacket {
  int64_t tUs;
  uint8_t command;
  uint8_t data;
  bool checksumOk;
};

class Converter : public Peer {
 public:
  explicit Converter(Model model = Model::demo());
  ~Converter() override;

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

 private:
  struct Impl;
  Impl* impl_;
  Model model_;
};

}  // namespace k73

#endif
