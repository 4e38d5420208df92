// The converter as a peer on a serial line: the public face over the
// protocol state machine, plus its report lines.
#include "converter.h"

#include <cstdarg>
#include <cstdio>

#include "converter_impl.h"

namespace k73 {

Model Model::demo() {
  Model m;
  m.firmwareVersion = 100;
  // Steady inputs; each control code adds a little so sub-channels differ.
  const double base[6] = {1234.5, 2500.0, -1500.0, 4000.0, 0.0, 100.0};
  for (int ch = 0; ch < 6; ++ch) {
    for (int sub = 0; sub < 16; ++sub) m.inputMv[ch][sub] = base[ch] + 10.0 * sub;
  }
  for (int sub = 0; sub < 16; ++sub) {
    m.inputMv[6][sub] = 4990.0;  // full-scale reference
    m.inputMv[7][sub] = 0.0;     // zero reference
  }
  m.noiseMv = 0.05;
  m.waveChannel = 4;
  m.waveSubChannel = 0;
  m.waveAmplitudeMv = 2000.0;
  m.wavePeriodS = 60.0;
  m.digitalInputs = 0x5A;
  m.seed = 1;
  return m;
}

uint32_t Converter::countsFor(double mv, uint8_t modeHigh, uint8_t modeMid) {
  ModeWord mode;
  mode.high = modeHigh;
  mode.mid = modeMid;
  return countsForMv(mv, mode);
}

Converter::Converter(Model model) : impl_(nullptr), model_(model) {
  impl_ = new Impl(model_);
  impl_->owner = this;
}

Converter::~Converter() {
  delete impl_;
}

void Converter::hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) {
  impl_->hostByte(byte, tUs, hostBaud);
}

void Converter::hostOpened(int64_t tUs, uint32_t hostBaud) {
  impl_->hostOpened(tUs, hostBaud);
}

void Converter::hostClosed(int64_t /*tUs*/) {
  // The converter cannot see the host's port; what it already sent is lost.
}

int64_t Converter::nextByteTime() {
  Impl& c = *impl_;
  if (c.scan.running() && !c.streamHalted && !c.out.holdsScan()) c.generateScan();
  return c.out.nextUs();
}

uint8_t Converter::takeByte(uint32_t* baud) {
  nextByteTime();
  return impl_->out.take(baud);
}

uint32_t Converter::lineBaud() const {
  return impl_->baud;
}
const std::vector<ReceivedPacket>& Converter::packets() const {
  return impl_->packets;
}
uint8_t Converter::modeHigh() const {
  return impl_->mode.high;
}
uint8_t Converter::modeMid() const {
  return impl_->mode.mid;
}
uint8_t Converter::modeLow() const {
  return impl_->mode.low;
}
uint8_t Converter::filter() const {
  return impl_->filter;
}
uint32_t Converter::remoteAvg() const {
  return impl_->remoteAvg;
}
uint8_t Converter::channelCode() const {
  return impl_->channelCode;
}
uint8_t Converter::digitalOutputs() const {
  return impl_->digitalOutputs;
}
bool Converter::asleep() const {
  return impl_->phase == Phase::Asleep;
}
bool Converter::scanning() const {
  return impl_->scan.running();
}
uint32_t Converter::intervalCount() const {
  return impl_->intervalCount;
}
int16_t Converter::scanTableEntry(int channel) const {
  return channel >= 0 && channel < 6 ? impl_->scanTable[channel] : 0;
}
int Converter::signOns() const {
  return impl_->signOns;
}
int Converter::pendingDigitalInputAnswers() const {
  return impl_->pendingDigin;
}
double Converter::scanIntervalS() const {
  return (impl_->intervalCount + 1) / impl_->tickRate();
}
double Converter::tickRateHz() const {
  return impl_->tickRate();
}
bool Converter::standby() const {
  return impl_->mode.standby();
}
uint32_t Converter::counterCount(int counter) const {
  return counter >= 0 && counter < 3 ? impl_->counters[counter] : 0xFFFFFFFFu;
}
int Converter::scansSent() const {
  return impl_->scan.scansSent();
}
uint64_t Converter::scansMade() const {
  return impl_->scansMade;
}
void Converter::recordScans(std::function<void(const MadeScan&)> record) {
  impl_->recordScan = std::move(record);
}

void Converter::forgetPackets() {
  impl_->packets.clear();
}

std::vector<std::string> Converter::takeReportLines() {
  std::vector<std::string> lines;
  lines.swap(impl_->report);
  return lines;
}

void Converter::Impl::log(const ReceivedPacket& p) {
  report.push_back(owner->describe(p));
}

void Converter::Impl::event(int64_t tUs, uint32_t code, uint8_t a, uint8_t b) {
  log({tUs, a, b, true, PacketKind::Event, code});
}

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::string describeMode(uint32_t packed) {
  ModeWord m;
  m.high = packed >> 16;
  m.mid = packed >> 8;
  m.low = packed;
  return format("mode %02x %02x %02x gain %d %s %d-bit code %d rate %.3f Hz%s", m.high, m.mid,
                m.low, m.gain(), m.bipolar() ? "bipolar" : "unipolar", m.wordBytes() * 8,
                m.filterCode(), m.rateHz(), m.standby() ? " standby" : "");
}

std::string describeCommand(uint8_t cmd, uint8_t data) {
  switch (cmd) {
    case 0x01:
      if (data & 0x80) {
        return (data & 3) == 3 ? format("counter control select 0x%02x", data)
                               : format("counter %d select 0x%02x", data & 3, data);
      }
      return format("channel 0x%02x", data);
    case 0x02:
      return format("digout %d", data);
    case 0x03:
      return format("filter %d", data);
    case 0x04:
      return format("averaging %u (log2 %d)", 1u << (data > 24 ? 24 : data), data);
    case 0x07:
      return format("counter byte 0x%02x", data);
    case 0x80:
      return "digin query";
    case 0x81:
      return "conversion";
    case 0x82:
      return format("offset cal 0x%02x", data);
    case 0x83:
      return format("full-scale cal 0x%02x", data);
    case 0x84:
      return "mode change";
    case 0x86:
      return "version";
    case 0x87:
      return "checksum";
    case 0x88:
      return "sleep";
    case 0x89:
      return format("scan start normal %d", data);
    case 0x8A:
      return "scan stop";
    case 0x8B:
      return format("scan start single %d", data);
    case 0x8C:
      return format("scan start self-cal %d", data);
    default:
      return format("unknown packet %02x %02x", cmd, data);
  }
}

}  // namespace

std::string Converter::describe(const ReceivedPacket& p) const {
  if (p.kind == PacketKind::Event) {
    switch (p.detail) {
      case kEventSignedOn:
        return "signed on";
      case kEventScanOverrun:
        return "scan rate too fast: 0a";
      case kEventAsleep:
        return "asleep";
      case kEventHostOpened:
        return "host opened at 300 baud";
      case kEventStreamHalted:
        return "scan stream halted";
      default:
        return format("event %u", p.detail);
    }
  }
  if (p.kind == PacketKind::Handshake) {
    switch (p.detail) {
      case kHandshakeWakeUp:
        return "wake-up 00";
      case kHandshakeSleepByte:
        return "sign-on 88";
      case kHandshakeBaudIndex:
        return format("baud index %d: %u baud", p.command, kBaudTable[p.command % 6]);
      default:
        return format("working rate %02x", p.command);
    }
  }
  if (!p.checksumOk) {
    return format("bad packet %02x %02x %02x", p.command, p.data, p.detail & 0xFF);
  }
  switch (p.kind) {
    case PacketKind::ModeWord:
      if (p.detail == 0) return format("mode packet %02x %02x", p.command, p.data);
      return describeMode(p.detail);
    case PacketKind::Config:
      if (p.detail == 1) return "config end";
      return format("config averaging %d filter %d", p.command ? p.command : 256, p.data);
    case PacketKind::Interval:
      if (!(p.detail & kLastIntervalPacket)) {
        return format("interval packet %02x %02x", p.command, p.data);
      }
      return format("interval count %u table %02x %02x %02x %02x %02x %02x",
                    p.detail & ~kLastIntervalPacket, impl_->scanTable[0], impl_->scanTable[1],
                    impl_->scanTable[2], impl_->scanTable[3], impl_->scanTable[4],
                    impl_->scanTable[5]);
    default:
      return describeCommand(p.command, p.data);
  }
}

}  // namespace k73
