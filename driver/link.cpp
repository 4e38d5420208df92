// The port table, bytes read against a deadline, the receive checksum, the
// clock in milliseconds and ticks, and the debug log.
//
// Every loop here keeps the converter's timing rules (test the clock, try one
// byte, loop) and hands the waiting to the platform, which blocks until a
// byte or the deadline instead of spinning. This is the driver's only file
// that reaches the platform.
#include "link.h"

#include <algorithm>
#include <cstdarg>

#include "link_platform.h"

namespace tov {

platform::Port* portTable[TOV_PORT_SLOTS];
FILE* debugLog = nullptr;
uint8_t bDbgLvl = 0;

namespace {

// Every slot is free from the moment the driver is loaded.
struct PortTableAtLoad {
  PortTableAtLoad() { freeAllPortSlots(); }
} portTableAtLoad;

// A record whose deviceIndex is outside the table gets this slot instead of
// memory past the table's end: it always reads as free and forgets writes.
// One per thread, so that records used on different threads never share it.
thread_local platform::Port* outOfRangeSlot = nullptr;

constexpr int64_t kWriteRetryMs = 3000;

}  // namespace

platform::Port*& portSlot(const DeviceRecord* rec) {
  if (rec->deviceIndex < 0 || rec->deviceIndex >= TOV_PORT_SLOTS) {
    outOfRangeSlot = nullptr;
    return outOfRangeSlot;
  }
  return portTable[rec->deviceIndex];
}

bool portIsOpen(const DeviceRecord* rec) {
  return portSlot(rec) != nullptr;
}

TovHandle slotHandle(const DeviceRecord* rec) {
  return platform::portHandle(portSlot(rec));
}

void setSlotHandle(DeviceRecord* rec, TovHandle handle) {
  if (rec->deviceIndex < 0 || rec->deviceIndex >= TOV_PORT_SLOTS) return;
  platform::Port*& slot = portSlot(rec);
  platform::portRelease(slot);
  slot = platform::portAdopt(handle);
}

void freeAllPortSlots() {
  for (platform::Port*& slot : portTable) {
    platform::portRelease(slot);
    slot = nullptr;
  }
}

void closeAllPorts() {
  for (platform::Port*& slot : portTable) {
    platform::portClose(slot);
    slot = nullptr;
  }
}

// What every open and reopen does next: log why the port did not open, or
// start it with nothing waiting.
static bool startOnOpenedPort(DeviceRecord* rec) {
  if (!portSlot(rec)) {
    debugPrintf("open failed: %s\r\n", platform::portOpenFailure());
    return false;
  }
  purgePort(rec);
  return true;
}

bool openPort(DeviceRecord* rec, uint32_t baud, uint32_t writeTimeoutMs) {
  platform::Port*& slot = portSlot(rec);
  // The platform names the port COM<deviceIndex + 1>, applies 8-N-1 with DTR on
  // and RTS off, and chooses the port's backend once, here.
  slot = platform::portOpen(rec->deviceIndex + 1, baud, writeTimeoutMs, rec->inQueueSize,
                            rec->outQueueSize, &rec->dcb);
  return startOnOpenedPort(rec);
}

bool reopenPort(DeviceRecord* rec, uint32_t baud, uint32_t writeTimeoutMs) {
  platform::Port*& slot = portSlot(rec);
  slot = platform::portReopen(slot, rec->deviceIndex + 1, baud, writeTimeoutMs, rec->inQueueSize,
                              rec->outQueueSize, &rec->dcb);
  return startOnOpenedPort(rec);
}

void closePort(DeviceRecord* rec) {
  platform::Port*& slot = portSlot(rec);
  platform::portClose(slot);
  slot = nullptr;
}

bool purgePort(DeviceRecord* rec) {
  platform::portPurge(portSlot(rec));
  return true;
}

bool refreshComStat(DeviceRecord* rec) {
  return platform::portStatus(portSlot(rec), &rec->comStat);
}

bool writeByte(DeviceRecord* rec, uint8_t byte) {
  platform::Port* port = portSlot(rec);
  const int64_t deadline = clockMs() + kWriteRetryMs;
  while (clockMs() < deadline) {
    if (platform::portWriteByte(port, byte)) return true;
    if (platform::portGone(port)) return false;  // no room will ever come
    // The output queue is full (or the port is gone): wait for room, not spin.
    platform::portWaitForOutput(port, deadline);
  }
  return false;
}

void waitForOutputRoom(DeviceRecord* rec, uint32_t room, int64_t deadlineMs) {
  // Unsigned on purpose: below `room` the limit wraps and nothing waits.
  const uint32_t limit = rec->outQueueSize - room;
  refreshComStat(rec);
  while (clockMs() < deadlineMs && rec->comStat.cbOutQue > limit) {
    // The queue drains at line rate, about a byte per millisecond at 9600 baud.
    platform::sleepUntil(std::min(clockMs() + 1, deadlineMs), true);
    refreshComStat(rec);
  }
}

bool readByte(DeviceRecord* rec, uint8_t* dest) {
  uint8_t byte = 0;
  if (!platform::portReadByte(portSlot(rec), &byte)) return false;
  *dest = byte;
  rec->lastRxByte = byte;
  // Every byte the converter sends counts, drained bytes and scan data too.
  rec->rxChecksum = static_cast<int16_t>((static_cast<uint32_t>(rec->rxChecksum) + byte) & 0xFF);
  return true;
}

int readUntil(DeviceRecord* rec, uint8_t* dest, int count, int64_t deadlineMs) {
  platform::Port* port = portSlot(rec);
  int taken = 0;
  while (taken < count && clockMs() < deadlineMs) {
    if (readByte(rec, &dest[taken])) {
      ++taken;
      continue;
    }
    platform::portWaitForInput(port, deadlineMs);
  }
  return taken;
}

bool readBytesTimed(DeviceRecord* rec, int count, int32_t timeoutMs, uint8_t* dest) {
  if (count <= 0) return true;  // nothing to wait for
  return readUntil(rec, dest, count, clockMs() + timeoutMs) == count;
}

bool readAllWithTimeLeft(DeviceRecord* rec, uint8_t* dest, int count, int64_t deadlineMs,
                         int* taken) {
  *taken = readUntil(rec, dest, count, deadlineMs);
  return *taken == count && clockMs() < deadlineMs;
}

void drainInput(DeviceRecord* rec, uint8_t* dest) {
  while (readByte(rec, dest)) {
  }
}

int64_t clockMs() {
  return platform::nowMs();
}

int64_t tickCount() {
  return ((clockMs() * 14) / 100 * 13) / 100;
}

int64_t firstMsOfTick(int64_t tick) {
  if (tick <= 0) return 0;
  const int64_t scaled = (tick * 100 + 12) / 13;  // smallest (ms * 14) / 100 that gets there
  return (scaled * 100 + 13) / 14;                // smallest ms with that (ms * 14) / 100
}

void waitTicks(int64_t n) {
  const int64_t target = tickCount() + n;
  if (target <= 0) return;
  const int64_t wakeAt = firstMsOfTick(target);
  while (tickCount() < target) platform::sleepUntil(wakeAt, true);
}

void busyWaitMs(int64_t ms) {
  platform::sleepUntil(clockMs() + ms, false);
}

void debugPrintf(const char* format, ...) {
  if (!debugLog) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(debugLog, format, args);
  va_end(args);
  std::fflush(debugLog);
}

}  // namespace tov
