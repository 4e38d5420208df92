// The driver's lowest layers: the port table, bytes read against a deadline,
// the receive checksum, the clock, the debug log, and the command packet.
// Every export family is written on top of these and nothing else; only
// link.cpp reaches the platform.
#ifndef TOV_DRIVER_LINK_H
#define TOV_DRIVER_LINK_H

#include <cstdint>
#include <cstdio>

#include "commands.h"
#include "tovdrv.h"
#include "tovscan.h"

namespace tov {

namespace platform {
class Port;
}

// Process-wide state shared by all records.
extern platform::Port* portTable[TOV_PORT_SLOTS];  // free slot: null
extern FILE* debugLog;                             // open debug log, or null
extern uint8_t bDbgLvl;                            // level recorded when the log was created

// Slot of the record's port (deviceIndex must be 0..254).
platform::Port*& portSlot(const DeviceRecord* rec);
bool portIsOpen(const DeviceRecord* rec);
// The handle a client sees in the record's slot, and the handle a client
// puts there (the slot's port is forgotten, not closed).
TovHandle slotHandle(const DeviceRecord* rec);
void setSlotHandle(DeviceRecord* rec, TovHandle handle);
void freeAllPortSlots();  // forgets every port without closing it
void closeAllPorts();     // closes every open port and frees its slot

// --- serial link ---
bool openPort(DeviceRecord* rec, uint32_t baud, uint32_t writeTimeoutMs);
// The open port at another rate, for a sign-on that switches the line: a
// remote port keeps its connection; a local one is closed and opened again.
bool reopenPort(DeviceRecord* rec, uint32_t baud, uint32_t writeTimeoutMs);
void closePort(DeviceRecord* rec);
bool purgePort(DeviceRecord* rec);
bool refreshComStat(DeviceRecord* rec);
// Retries for 3 s; a port the platform knows is gone fails at once.
bool writeByte(DeviceRecord* rec, uint8_t byte);
// Waits until the output queue leaves room for `room` more bytes
// (outQueueSize - room, unsigned), or until the deadline.
void waitForOutputRoom(DeviceRecord* rec, uint32_t room, int64_t deadlineMs);
bool readByte(DeviceRecord* rec, uint8_t* dest);  // at once; feeds rxChecksum and lastRxByte

// Reading against a deadline. The clock is tested before each byte is taken:
// a byte counts when the clock still read before the deadline just before it
// was taken, so a byte that arrives exactly at the deadline does not.
//
// Takes up to `count` bytes into dest and returns how many came (stopping at
// `count`); the last one may have come just before the deadline passed.
int readUntil(DeviceRecord* rec, uint8_t* dest, int count, int64_t deadlineMs);
// All `count` bytes before clock + timeoutMs; a zero time-out reads nothing.
bool readBytesTimed(DeviceRecord* rec, int count, int32_t timeoutMs, uint8_t* dest);
// All `count` bytes, and the deadline still ahead once the last one is in:
// the clock is tested once more after the last byte. *taken is how many
// came, whatever the answer.
bool readAllWithTimeLeft(DeviceRecord* rec, uint8_t* dest, int count, int64_t deadlineMs,
                         int* taken);
void drainInput(DeviceRecord* rec, uint8_t* dest);  // dest keeps the last byte taken

// --- time ---
int64_t clockMs();                    // milliseconds since start
int64_t tickCount();                  // ticks of 1/18.2 s: ((clock * 14) / 100 * 13) / 100
int64_t firstMsOfTick(int64_t tick);  // the first clockMs() at which tickCount() >= tick
void waitTicks(int64_t n);
void busyWaitMs(int64_t ms);  // named for the protocol's fixed pauses; it sleeps

// --- debug log ---
// Writes to the log when it is open, then flushes. Each call is one call of
// the C library, which holds the stream's lock for all of it: a line written
// by one call never mixes with another thread's.
void debugPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// --- command packets ---
bool sendPacket(DeviceRecord* rec, uint8_t command, uint8_t data);
bool checkModeEcho(DeviceRecord* rec, int32_t timeoutMs);
void buildModeWord(DeviceRecord* rec);
// 1000 * trunc(remoteAvg / sampleRate + 0.1 * baudIndex + 2.0)
int32_t replyTimeoutFor(const DeviceRecord* rec);
inline uint8_t channelCode(const DeviceRecord* rec) {
  return static_cast<uint8_t>(rec->channel * 16 + rec->subChannel);
}

// Bytes per scan B for the record's scan type, points and word length.
inline int32_t bytesPerScan(const DeviceRecord* rec) {
  return tovScanBytes(rec);
}

}  // namespace tov

#endif
