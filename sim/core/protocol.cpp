// What the converter does with each byte the host sends: the sign-on
// sequence, command packets, and the settings they change.
#include <algorithm>

#include "converter_impl.h"

namespace k73 {

void Converter::Impl::hostOpened(int64_t tUs, uint32_t hostBaud) {
  // A host that opens its port at 300 baud is starting a sign-on, unless it
  // is reopening at the working rate of index 5 right after the switch.
  if (hostBaud != kSignOnBaud || (phase == Phase::WaitWake && baud == kSignOnBaud)) return;
  event(tUs, kEventHostOpened);
  if (phase == Phase::Asleep) return;  // only the wake-up byte itself rouses it
  scan.stop();
  out.dropScanBytesNotStartedBy(tUs);
  phase = Phase::Idle;
  baud = kSignOnBaud;
  pktLen = 0;
}

bool Converter::Impl::wakeUpAllowed(int64_t tUs) const {
  if (baud != kSignOnBaud) return true;  // a 0x00 at 300 baud cannot be working traffic
  switch (phase) {
    case Phase::Idle:
    case Phase::WaitSleepByte:
    case Phase::Asleep:
      return true;
    case Phase::Online:
      // No command is 0x00, so one at a packet boundary is a wake-up.
      return pktLen == 0 || tUs - lastHostUs > kPacketGapUs;
    default:
      return tUs - lastHostUs > kQuietRestartUs;
  }
}

void Converter::Impl::wakeUp(int64_t tUs) {
  log({tUs, 0x00, 0, true, PacketKind::Handshake, kHandshakeWakeUp});
  if (model.misbehave.noHandshake) return;
  scan.stop();
  out.dropScanBytesNotStartedBy(tUs);
  pendingDigin = 0;
  phase = Phase::WaitSleepByte;
  baud = kSignOnBaud;
  pktLen = 0;
  bytesQueued = 0;
  send(0x03, tUs + kProcessingUs);
  // A byte in the quiet period that must follow the 0x03.
  if (model.misbehave.noiseInQuietPeriod) send(0x55, tUs + 100'000);
}

void Converter::Impl::hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) {
  catchUpScans(tUs);
  if (hostBaud == kSignOnBaud && byte == 0x00 && wakeUpAllowed(tUs)) {
    wakeUp(tUs);
    lastHostUs = tUs;
    return;
  }
  if (phase == Phase::Asleep) return;
  if (hostBaud != baud) return;  // at another rate the byte is only noise to the UART
  if (pktLen > 0 && tUs - lastHostUs > kPacketGapUs) pktLen = 0;
  lastHostUs = tUs;
  switch (phase) {
    case Phase::Idle:
      return;
    case Phase::WaitSleepByte:
    case Phase::WaitBaudIndex:
    case Phase::WaitWake:
      signOnByte(byte, tUs);
      return;
    default:
      pkt[pktLen++] = byte;
      if (pktLen == 3) packet(tUs);
  }
}

void Converter::Impl::signOnByte(uint8_t byte, int64_t tUs) {
  const Misbehaviour& mis = model.misbehave;
  if (phase == Phase::WaitSleepByte) {
    if (byte != 0x88) return;
    log({tUs, byte, 0, true, PacketKind::Handshake, kHandshakeSleepByte});
    out.resetChecksum();  // the host clears its sum just before this byte
    if (mis.answerSleepByte) send(0x88, tUs + kProcessingUs);
    phase = Phase::WaitBaudIndex;
  } else if (phase == Phase::WaitBaudIndex) {
    if (byte > 5) return;
    log({tUs, byte, 0, true, PacketKind::Handshake, kHandshakeBaudIndex});
    if (!mis.noBaudEcho) {
      send(mis.wrongBaudEcho ? uint8_t((byte + 1) % 6) : byte, tUs + kProcessingUs);
    }
    // The echo goes out at 300 baud; everything after it at the new rate.
    baudIndex = byte;
    baud = kBaudTable[byte];
    phase = Phase::WaitWake;
  } else {
    log({tUs, byte, 0, true, PacketKind::Handshake, kHandshakeNewRate});
    phase = Phase::Config;
    phasePackets = 0;
    phaseOk = true;
    pktLen = 0;
  }
}

void Converter::Impl::packet(int64_t tUs) {
  pktLen = 0;
  ReceivedPacket p{tUs, pkt[0], pkt[1], uint8_t(pkt[0] + pkt[1]) == pkt[2]};
  if (!p.checksumOk) p.detail = pkt[2];
  switch (phase) {
    case Phase::Config:
      configPacket(p, tUs);
      break;
    case Phase::Interval:
      intervalPacket(p);
      break;
    case Phase::ModePackets:
      modePacket(p, tUs);
      break;
    default:
      p.kind = PacketKind::Command;
      packets.push_back(p);
      log(p);
      if (p.checksumOk) command(p.command, p.data, tUs);  // a garbled packet is ignored
      return;
  }
  packets.push_back(p);
  log(p);
  if (p.kind == PacketKind::Interval && phase == Phase::Online) event(tUs, kEventSignedOn);
}

void Converter::Impl::configPacket(ReceivedPacket& p, int64_t tUs) {
  phaseOk = phaseOk && p.checksumOk;
  switch (phasePackets++) {
    case 0:
      p.kind = PacketKind::ModeWord;
      pendingMode.high = p.command;
      pendingMode.mid = p.data;
      return;
    case 1:
      p.kind = PacketKind::ModeWord;
      pendingMode.low = p.command;
      p.detail = pendingMode.packed();
      return;
    case 2:
      p.kind = PacketKind::Config;
      pendingAvg = p.command;
      pendingFilter = p.data;
      return;
    default:
      p.kind = PacketKind::Config;
      p.detail = 1;  // the closing packet
      phase = Phase::Interval;
      phasePackets = 0;
      // A configuration with a garbled packet is dropped: no echo, so the
      // host tries the sign-on again.
      if (!phaseOk) {
        phaseOk = true;
        return;
      }
      mode = pendingMode;
      remoteAvg = pendingAvg ? pendingAvg : 256;  // 256 arrives as its low byte
      filter = pendingFilter;
      modeEcho(tUs + kProcessingUs);
  }
}

void Converter::Impl::intervalPacket(ReceivedPacket& p) {
  p.kind = PacketKind::Interval;
  const int n = phasePackets++;
  if (p.checksumOk) {
    switch (n) {
      case 0:
        pendingInterval[0] = p.command;
        pendingInterval[1] = p.data;
        break;
      case 1:
        pendingInterval[2] = p.command;
        pendingTable[0] = p.data;
        break;
      default:
        pendingTable[2 * n - 3] = p.command;
        if (n < 4) pendingTable[2 * n - 2] = p.data;
    }
  }
  phaseOk = phaseOk && p.checksumOk;
  if (n < 4) return;
  intervalCount =
      uint32_t(pendingInterval[2]) << 16 | uint32_t(pendingInterval[1]) << 8 | pendingInterval[0];
  std::copy(pendingTable, pendingTable + 6, scanTable);
  p.detail = intervalCount | kLastIntervalPacket;
  phase = Phase::Online;
  if (phaseOk) ++signOns;
  phaseOk = true;
}

void Converter::Impl::modePacket(ReceivedPacket& p, int64_t tUs) {
  p.kind = PacketKind::ModeWord;
  phaseOk = phaseOk && p.checksumOk;
  if (phasePackets++ == 0) {
    pendingMode.high = p.command;
    pendingMode.mid = p.data;
    return;
  }
  pendingMode.low = p.command;
  p.detail = pendingMode.packed();
  phase = Phase::Online;
  if (!phaseOk) {  // a garbled mode word is not taken, nor echoed
    phaseOk = true;
    return;
  }
  mode = pendingMode;
  modeEcho(tUs + kProcessingUs);
}

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
