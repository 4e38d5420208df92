// What the converter sends: replies with their misbehaviours, conversions,
// and the scan stream, generated one scan at a time as it falls due.
#include <algorithm>

#include "converter_impl.h"

namespace k73 {

void Converter::Impl::send(uint8_t byte, int64_t readyUs, OutKind kind) {
  const Misbehaviour& mis = model.misbehave;
  if (mis.silent) return;
  ++bytesQueued;
  if (mis.noiseBurstAfterBytes >= 0 && bytesQueued == uint64_t(mis.noiseBurstAfterBytes) + 1) {
    for (int i = 0; i < mis.noiseBurstLength; ++i) {
      out.send(0x55, baud, readyUs, OutKind::LineNoise);
    }
  }
  if (mis.dropByteEvery > 0 && bytesQueued % uint64_t(mis.dropByteEvery) == 0) {
    if (kind != OutKind::ChecksumValue) out.countLost(byte);
    return;
  }
  out.send(byte, baud, readyUs, kind);
  if (mis.doubleByteEvery > 0 && bytesQueued % uint64_t(mis.doubleByteEvery) == 0 &&
      kind != OutKind::ChecksumValue) {
    out.send(byte, baud, readyUs, OutKind::LineNoise);
  }
}

void Converter::Impl::reply(std::vector<uint8_t> bytes, int64_t readyUs, bool commandReply,
                            bool echoFirst) {
  const Misbehaviour& mis = model.misbehave;
  if (commandReply && echoFirst && !bytes.empty() && mis.wrongEcho >= 0) {
    bytes[0] = uint8_t(mis.wrongEcho);
  }
  if (commandReply && mis.shortReply >= 0 && size_t(mis.shortReply) < bytes.size()) {
    bytes.resize(mis.shortReply);
  }
  // A reply goes ahead of a scan that is measured but has not begun to go out.
  if (scan.running() && !mis.silent) {
    std::vector<OutByte> queued;
    for (uint8_t b : bytes) queued.push_back({b, baud, readyUs, OutKind::Reply});
    if (out.insertBeforeScanNotStartedBy(readyUs, queued)) return;
  }
  for (uint8_t b : bytes) send(b, readyUs);
}

void Converter::Impl::modeEcho(int64_t readyUs) {
  const Misbehaviour& mis = model.misbehave;
  const uint8_t high = mode.high | mis.modeEchoHighExtraBits;
  const uint8_t mid = mis.wrongModeEcho ? uint8_t(mode.mid + 1) : mode.mid;
  reply({high, mid, mode.low}, readyUs, true, false);
}

void Converter::Impl::appendWord(std::vector<uint8_t>& bytes, uint32_t counts) const {
  bytes.push_back(counts & 0xFF);
  bytes.push_back((counts >> 8) & 0xFF);
  if (mode.wordBytes() == 3) bytes.push_back((counts >> 16) & 0xFF);
}

void Converter::Impl::conversionReply(uint8_t cmd, uint8_t code, int64_t readyUs, uint32_t averages,
                                      uint32_t periods) {
  const double period = 1.0 / mode.rateHz();
  const uint32_t counts = signal.convert(model, mode, code, readyUs / 1e6, averages);
  std::vector<uint8_t> bytes{cmd};
  appendWord(bytes, counts);
  reply(bytes, readyUs + int64_t(periods * period * 1e6));
}

double Converter::Impl::tickRate() const {
  return scanTickRate(model.firmwareVersion, counters[0], baudIndex);
}

bool Converter::Impl::countersPreset() const {
  return model.firmwareVersion > 100 && counters[0] != 0xFFFFFFFFu && counters[0] != 0xFF;
}

void Converter::Impl::catchUpScans(int64_t tUs) {
  // Scans measured before a host byte arrived go out before any answer to it.
  for (int guard = 0; guard < 64; ++guard) {
    if (!scan.running() || streamHalted) return;
    if (scan.nextTickUs() + scanMeasureUs > tUs) return;
    generateScan();
  }
}

void Converter::Impl::generateScan() {
  const Misbehaviour& mis = model.misbehave;
  const int n = scan.scansSent();
  if (mis.stopAfterScans >= 0 && n >= mis.stopAfterScans) {
    if (mis.stopAfterRateByte) send(0x0A, scan.nextTickUs() + scanMeasureUs, OutKind::ScanStart);
    streamHalted = true;
    event(scan.nextTickUs(), kEventStreamHalted);
    return;
  }
  const int type = scan.type();
  std::vector<uint8_t> codes;
  if (type == 0) {
    codes.push_back(channelCode);
  } else {
    if (type == 2) codes = {0x70, 0x60};  // zero and full-scale references first
    for (uint8_t c : scanPointCodes(scanTable)) codes.push_back(c);
  }
  // Measure the points one after another from the timer tick.
  const int64_t tick = scan.nextTickUs();
  const double perPoint = codes.empty() ? 0 : double(scanMeasureUs) / codes.size();
  std::vector<uint8_t> bytes;
  if (pendingDigin > 0) {
    --pendingDigin;
    bytes.push_back(0x80);
    bytes.push_back(model.digitalInputs);
  }
  const size_t scanFrom = bytes.size();
  if (type != 0) bytes.push_back(mis.badStartMarker ? 0xF1 : 0xF0);
  const uint64_t serial = model.firstStamp + scansMade;
  const uint32_t stamp = stampCounts(serial);
  uint32_t firstCounts = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    const double tS = (tick + i * perPoint) / 1e6;
    const uint32_t counts =
        model.stampScans ? stamp : signal.convert(model, mode, codes[i], tS, remoteAvg);
    if (i == 0) firstCounts = counts;
    appendWord(bytes, counts);
  }
  if (type != 0) bytes.push_back(mis.badEndMarker ? 0x0E : 0x0F);
  if (n == 0 && mis.cutScanAfterBytes >= 0 &&
      scanFrom + size_t(mis.cutScanAfterBytes) < bytes.size()) {
    bytes.resize(scanFrom + mis.cutScanAfterBytes);
    streamHalted = true;
  }
  const int64_t ready = tick + scanMeasureUs;
  for (size_t i = 0; i < bytes.size(); ++i) {
    send(bytes[i], ready,
         i < scanFrom    ? OutKind::Reply
         : i == scanFrom ? OutKind::ScanStart
                         : OutKind::ScanData);
  }
  scan.advance();
  if (recordScan) recordScan({serial, tick, firstCounts});
  ++scansMade;
}

uint32_t stampCounts(uint64_t serial) {
  uint32_t counts = 0;
  for (int digit = 0; digit < 3; ++digit) {
    counts |= uint32_t(0x10 + serial % 224) << (8 * digit);
    serial /= 224;
  }
  return counts;
}

int64_t serialOfStamp(uint32_t counts) {
  int64_t serial = 0;
  for (int digit = 2; digit >= 0; --digit) {
    const uint32_t byte = (counts >> (8 * digit)) & 0xFF;
    if (byte < 0x10 || byte > 0xEF) return -1;
    serial = serial * 224 + (byte - 0x10);
  }
  return (counts >> 24) ? -1 : serial;
}

}  // namespace k73
