// The driver against a converter that says anything at any moment: the input
// chooses the record's settings, a sequence of exports to call, and the bytes
// the far end sends with the gap before each one. Each gap counts from the
// later of the far end's previous byte and the host's last byte, so replies
// naturally follow requests. Runs in virtual time; every wait is free.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tovdrv.h"
#include "virtual_bench.h"

namespace {

class FuzzPeer : public k73::Peer {
 public:
  explicit FuzzPeer(FuzzedDataProvider& in) : in_(in) {}

  void hostByte(uint8_t, int64_t tUs, uint32_t hostBaud) override {
    lastHostUs_ = tUs;
    hostBaud_ = hostBaud;
  }
  void hostOpened(int64_t tUs, uint32_t hostBaud) override {
    lastHostUs_ = tUs;
    hostBaud_ = hostBaud;
  }
  int64_t nextByteTime() override {
    if (!havePending_) {
      if (in_.remaining_bytes() < 2) return k73::kNever;
      const uint8_t gap = in_.ConsumeIntegral<uint8_t>();
      pendingByte_ = in_.ConsumeIntegral<uint8_t>();
      // Short gaps mostly (a byte time or a reply delay), sometimes long ones
      // that cross the driver's time-outs.
      const int64_t gapUs = gap < 192 ? gap * 100 : int64_t(gap - 191) * 50000;
      pendingUs_ = std::max(lastByteUs_, lastHostUs_) + gapUs;
      havePending_ = true;
    }
    return pendingUs_;
  }
  uint8_t takeByte(uint32_t* baud) override {
    havePending_ = false;
    lastByteUs_ = pendingUs_;
    *baud = hostBaud_;  // never garbled by the bench: the input says what arrives
    return pendingByte_;
  }

 private:
  FuzzedDataProvider& in_;
  bool havePending_ = false;
  uint8_t pendingByte_ = 0;
  int64_t pendingUs_ = 0;
  int64_t lastByteUs_ = 0;
  int64_t lastHostUs_ = 0;
  uint32_t hostBaud_ = 300;
};

// Record fields a client sets, taken from the input as raw values; the
// driver's work areas start as a fresh client's would (zeroed).
void fillRecord(DeviceRecord& rec, FuzzedDataProvider& in) {
  rec.deviceIndex = in.ConsumeIntegralInRange<int16_t>(-1, 2);
  rec.scanInterval = in.ConsumeFloatingPoint<double>();
  rec.pointsPerScan = in.ConsumeIntegral<int16_t>();
  rec.scanType = in.ConsumeIntegral<int16_t>();
  for (auto& entry : rec.scanTable) entry = in.ConsumeIntegral<int16_t>();
  rec.singleChanCode = in.ConsumeIntegral<int16_t>();
  rec.channel = in.ConsumeIntegral<int16_t>();
  rec.subChannel = in.ConsumeIntegral<int16_t>();
  rec.digitalOut = in.ConsumeIntegral<int32_t>();
  rec.bytesPerConversion = in.ConsumeIntegral<int16_t>();
  rec.bipolar = in.ConsumeIntegral<int16_t>();
  rec.filter = in.ConsumeIntegral<int16_t>();
  rec.gain = in.ConsumeIntegral<int16_t>();
  rec.sampleRate = in.ConsumeFloatingPoint<float>();
  rec.baudIndex = in.ConsumeIntegralInRange<int16_t>(-1, 6);
  rec.asleep = in.ConsumeIntegral<int16_t>();
  rec.standby = in.ConsumeIntegral<int16_t>();
  rec.counterPreset = in.ConsumeIntegral<int32_t>();
  rec.remoteAvg = in.ConsumeIntegral<uint32_t>();
  rec.outQueueSize = in.ConsumeIntegral<uint32_t>();
  rec.inQueueSize = in.ConsumeIntegralInRange<uint32_t>(0, 1 << 16);
  rec.replyTimeout = in.ConsumeIntegral<int32_t>();
}

void callExport(DeviceRecord& rec, FuzzedDataProvider& in) {
  uint8_t fresh = 0;
  double maxS = 0, minS = 0;
  TovHandle handle = TOV_INVALID_HANDLE;
  switch (in.ConsumeIntegralInRange<int>(0, 31)) {
    case 0:
      SignOn(&rec);
      break;
    case 1:
      GetConversion(&rec);
      break;
    case 2:
      GetCheckSum(&rec);
      break;
    case 3:
      GotoSleep(&rec);
      break;
    case 4:
      GetDigIn(&rec);
      break;
    case 5:
      FullScaleCal(&rec);
      break;
    case 6:
      OffsetCal(&rec);
      break;
    case 7:
      SysCal(&rec);
      break;
    case 8:
      StartScanning(&rec);
      break;
    case 9:
      GetOneScan(&rec);
      break;
    case 10:
      GetOneScanWithDigin(&rec, &fresh, in.ConsumeBool());
      break;
    case 11:
      StopScanning(&rec);
      break;
    case 12:
      Gconv(&rec);
      break;
    case 13:
      RemFromBuffer(&rec, in.ConsumeIntegral<int32_t>());
      break;
    case 14:
      GetNumScansInBuffer(&rec);
      break;
    case 15:
      GetNumBytesInBuffer(&rec);
      break;
    case 16:
      SetDigOut(&rec, in.ConsumeIntegral<int32_t>());
      break;
    case 17:
      SendADMode(&rec);
      break;
    case 18:
      SetFilter(&rec);
      break;
    case 19:
      RemoteAvg(&rec);
      break;
    case 20:
      SetChanCode(&rec);
      break;
    case 21:
      GetVer(&rec);
      break;
    case 22:
      CloseDevice(&rec);
      break;
    case 23:
      DLL_SendPacket(&rec, in.ConsumeIntegral<int32_t>(), in.ConsumeIntegral<int32_t>());
      break;
    case 24:
      WriteCntr(&rec, in.ConsumeIntegral<int32_t>(), in.ConsumeIntegral<int32_t>());
      break;
    case 25:
      CheckScanTime(&rec, &maxS, &minS);
      break;
    case 26:
      FilterDelay(&rec);
      break;
    case 27:
      Counts2Volts(&rec);
      break;
    case 28:
      GetComHandle(&rec, &handle);
      break;
    case 29:
      rec.scanBufferCount = in.ConsumeIntegral<int32_t>();
      break;  // a client's stray write
    case 30:
      rec.bytesPerConversion = in.ConsumeIntegral<int16_t>();
      break;
    default:
      fillRecord(rec, in);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // The export sequence comes off the input's end, the far end's bytes off its
  // front (FuzzedDataProvider takes integers from the back, bytes from the front).
  k73::VirtualBench bench;
  FuzzPeer peer(in);
  bench.attach(1, &peer);
  DeviceRecord rec;
  std::memset(&rec, 0, sizeof rec);
  fillRecord(rec, in);
  for (int calls = 0; calls < 24 && in.remaining_bytes() > 0; ++calls) callExport(rec, in);
  DllEntryPoint(nullptr, 0, nullptr);  // unloading closes whatever is open
  return 0;
}
