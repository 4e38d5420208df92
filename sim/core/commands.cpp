// What the converter does with each command packet once it is on line:
// settings, replies, counters, digital inputs, and starting and stopping scans.
#include <algorithm>

#include "converter_impl.h"

namespace k73 {

void Converter::Impl::command(uint8_t cmd, uint8_t data, int64_t tUs) {
  const int64_t ready = tUs + kProcessingUs;
  switch (cmd) {
    case 0x01:
      if (data & 0x80) {
        counterPacket(cmd, data);
      } else {
        channelCode = data;
      }
      return;
    case 0x02:
      digitalOutputs = data;
      return;
    case 0x03:
      filter = data;
      return;
    case 0x04:
      remoteAvg = 1u << std::min<uint8_t>(data, 24);
      return;
    case 0x07:
      counterPacket(cmd, data);
      return;
    case 0x80:
      digitalInputQuery(tUs);
      return;
    case 0x81:
      conversionReply(cmd, channelCode, ready, remoteAvg, remoteAvg);
      return;
    case 0x82:
    case 0x83:
      // A calibration takes four conversion periods, whatever the averaging,
      // and answers with one conversion of the calibration input.
      conversionReply(cmd, data, ready, 1, 4);
      return;
    case 0x84:
      reply({0x84}, ready);
      phase = Phase::ModePackets;
      phasePackets = 0;
      phaseOk = true;
      return;
    case 0x86:
      reply({0x86, model.firmwareVersion}, ready);
      return;
    case 0x87: {
      // The checksum byte is filled in as it leaves.
      std::vector<uint8_t> bytes{0x87, 0x00};
      const Misbehaviour& mis = model.misbehave;
      if (mis.wrongEcho >= 0) bytes[0] = uint8_t(mis.wrongEcho);
      if (mis.shortReply >= 0 && mis.shortReply < 2) bytes.resize(mis.shortReply);
      if (!bytes.empty()) send(bytes[0], ready);
      if (bytes.size() == 2) send(0, ready, OutKind::ChecksumValue);
      return;
    }
    case 0x88:
      scan.stop();
      out.dropScanBytesNotStartedBy(tUs);
      reply({0x88, 0x80}, ready, false);
      phase = Phase::Asleep;
      event(tUs, kEventAsleep);
      return;
    case 0x89:
    case 0x8B:
    case 0x8C:
      startScan(cmd, tUs);
      return;
    case 0x8A:
      stopScan(tUs);
      return;
    default:
      return;  // not a command this converter knows
  }
}

void Converter::Impl::counterPacket(uint8_t cmd, uint8_t data) {
  if (cmd == 0x01) {
    // Counter addressing: bit 7 set (no channel code has it); the low two
    // bits pick counter 0..2, or 3 for the control register.
    counterTarget = data & 3;
    counterBytes = 0;
    return;
  }
  if (counterTarget < 0 || counterTarget == 3) return;  // control words: mode only
  if (counterBytes++ == 0) {
    counterLow = data;
    return;
  }
  counters[counterTarget] = uint32_t(data) << 8 | counterLow;
  counterBytes = 0;
}

void Converter::Impl::digitalInputQuery(int64_t tUs) {
  if (!scan.running()) {
    reply({0x80, model.digitalInputs}, tUs + kProcessingUs);
    return;
  }
  // During a run the answer rides in front of the next scan.
  if (out.insertBeforeScanNotStartedBy(tUs, {{0x80, baud, -1, OutKind::Reply},
                                             {model.digitalInputs, baud, -1, OutKind::Reply}})) {
    return;
  }
  ++pendingDigin;
}

void Converter::Impl::startScan(uint8_t cmd, int64_t tUs) {
  const int64_t ready = tUs + kProcessingUs;
  reply({cmd}, ready);
  const int type = cmd == 0x8B ? 0 : cmd == 0x8C ? 2 : 1;
  const int64_t intervalUs = int64_t((intervalCount + 1) / tickRate() * 1e6 + 0.5);
  // The timer starts once the echo is out.
  scan.start(type, out.empty() ? ready : out.completeUs(out.size() - 1), intervalUs);
  streamHalted = false;
  pendingDigin = 0;
  const int points = type == 0 ? 1 : int(scanPointCodes(scanTable).size());
  const ScanCost cost = scanCost(type, points, mode.wordBytes(), remoteAvg, mode.rateHz(),
                                 filterSettleS(filter, countersPreset()), baud);
  scanMeasureUs = int64_t(cost.measureS * 1e6);
  if (std::max(cost.measureS, cost.transmitS) * 1e6 > double(intervalUs)) {
    // Too fast for this scan type: one 0x0A where the first scan is due, then nothing.
    send(0x0A, scan.nextTickUs() + scanMeasureUs, OutKind::ScanStart);
    streamHalted = true;
    event(tUs, kEventScanOverrun);
  }
}

void Converter::Impl::stopScan(int64_t tUs) {
  scan.stop();
  out.dropScanBytesNotStartedBy(tUs);
  pendingDigin = 0;
  if (!model.misbehave.noStopByte) send(0x8A, tUs + kProcessingUs);
}

}  // namespace k73
