/* Model K73 converter driver: the device record and the 32 exports.
 *
 * One record per converter, owned by the client. Every export takes a
 * pointer to it first; the driver fills results and work areas back in.
 * Usable from C and C++; the exports use the Win32 calling convention on
 * Windows and plain C linkage elsewhere. */
#ifndef TOVDRV_H
#define TOVDRV_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
/* The Win32 types the record holds (HANDLE, COMSTAT, DCB). NOMINMAX holds
 * for this include only, so the client's own min and max (std::min among
 * them) are not replaced by macros; a client that wants the macros includes
 * <windows.h> before this header. */
#ifndef NOMINMAX
#define NOMINMAX
#define TOVDRV_SET_NOMINMAX
#endif
#include <windows.h>
#ifdef TOVDRV_SET_NOMINMAX
#undef NOMINMAX
#undef TOVDRV_SET_NOMINMAX
#endif
typedef HANDLE TovHandle;
typedef COMSTAT TovComStat;
typedef DCB TovDcb;
#define TOV_INVALID_HANDLE INVALID_HANDLE_VALUE
#define TOVAPI __stdcall
#ifdef TOVDRV_BUILDING
#define TOVEXPORT __declspec(dllexport)
#else
#define TOVEXPORT
#endif
#else
/* A port handle is the file descriptor of the open serial device. */
typedef intptr_t TovHandle;
#define TOV_INVALID_HANDLE ((TovHandle)-1)

/* Stand-ins for the Win32 serial status and settings structures, with the
 * members the driver reads or sets. */
typedef struct TovComStat {
  uint32_t flags;
  uint32_t cbInQue;  /* bytes waiting in the input queue */
  uint32_t cbOutQue; /* bytes waiting in the output queue */
} TovComStat;

typedef struct TovDcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t fDtrControl; /* 1 = DTR held on */
  uint32_t fRtsControl; /* 0 = RTS held off */
  uint8_t ByteSize;
  uint8_t Parity;   /* 0 = none */
  uint8_t StopBits; /* 0 = one stop bit */
  uint8_t reserved;
} TovDcb;

#define TOVAPI
#define TOVEXPORT __attribute__((visibility("default")))
#endif

#define TOV_SCAN_BUFFER_SIZE 128
#define TOV_REPLY_SIZE 26
#define TOV_PORT_SLOTS 255

typedef struct DeviceRecord {
  int16_t deviceIndex;    /* port slot; COM(deviceIndex + 1) */
  double scanInterval;    /* seconds between scans */
  int16_t pointsPerScan;  /* data points per scan */
  int16_t scanType;       /* 0 single channel, 1 normal, 2 self-calibrating */
  int16_t scanTable[6];   /* per channel: start code << 4 | end code */
  int16_t singleChanCode; /* channel << 4 | sub-channel */
  int16_t digitalIn;
  int16_t firmwareVersion;
  int16_t channel;
  int16_t subChannel;
  int32_t counts; /* last conversion, raw unsigned 16/24-bit value */
  double millivolts;
  int32_t digitalOut;
  int16_t bytesPerConversion; /* 2 or 3 */
  int16_t bipolar;
  int32_t lastError;
  int16_t filter; /* 0 = 4 Hz, 1 = 40 Hz, 2 = 400 Hz */
  int16_t gain;
  float sampleRate;
  int16_t modeLow;
  int16_t modeMid;
  int16_t modeHigh;
  int16_t baudIndex;
  int16_t asleep;
  int16_t standby;
  int32_t counterPreset;
  uint32_t remoteAvg;
  uint32_t outQueueSize;
  uint32_t inQueueSize;
  uint8_t scanBuffer[TOV_SCAN_BUFFER_SIZE];
  uint8_t reply[TOV_REPLY_SIZE];
  int16_t rxChecksum;
  uint8_t lastRxByte;
  int32_t replyTimeout; /* ms */
  TovComStat comStat;
  uint8_t reopenPending;
  TovDcb dcb;
  int32_t scanBufferCount;
  uint8_t digInPending;
} DeviceRecord;

#if defined(_WIN32) && defined(TOVDRV_BUILDING)
/* Clients compiled elsewhere (other compilers, other languages) lay the
 * record out from these figures: the same in 32- and 64-bit builds, as the
 * record holds no pointer. The driver does not build if they move. */
#ifdef __cplusplus
#define TOVDRV_LAYOUT(what, figure) static_assert(what == figure, #what)
#else
#define TOVDRV_LAYOUT(what, figure) _Static_assert(what == figure, #what)
#endif
TOVDRV_LAYOUT(sizeof(DeviceRecord), 320);
TOVDRV_LAYOUT(offsetof(DeviceRecord, scanInterval), 8);
TOVDRV_LAYOUT(offsetof(DeviceRecord, counts), 44);
TOVDRV_LAYOUT(offsetof(DeviceRecord, millivolts), 48);
TOVDRV_LAYOUT(offsetof(DeviceRecord, sampleRate), 72);
TOVDRV_LAYOUT(offsetof(DeviceRecord, remoteAvg), 92);
TOVDRV_LAYOUT(offsetof(DeviceRecord, scanBuffer), 104);
TOVDRV_LAYOUT(offsetof(DeviceRecord, replyTimeout), 264);
TOVDRV_LAYOUT(offsetof(DeviceRecord, comStat), 268);
TOVDRV_LAYOUT(offsetof(DeviceRecord, dcb), 284);
TOVDRV_LAYOUT(offsetof(DeviceRecord, scanBufferCount), 312);
TOVDRV_LAYOUT(offsetof(DeviceRecord, digInPending), 316);
#undef TOVDRV_LAYOUT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* How the exports behave.
 *
 * Every export takes the caller's record first and blocks the calling thread
 * until the converter has answered or a time-out has passed; waits block in
 * the OS (on Windows the thread's message queue is peeked, never emptied).
 * Results: 1 success, 0 failure, unless said otherwise. A "packet" is three
 * bytes: command, data, (command + data) & 0xFF; a reply starts with the
 * command byte echoed and lands in reply[]. Sending a packet first waits up
 * to 5 s for room in the output queue; each byte is retried for 3 s, so an
 * export on a port that is not open fails after 3 s (a port found gone,
 * hung up or its server away, fails at once). Every byte received,
 * drained or not, is added to rxChecksum (mod 256) and kept in lastRxByte.
 * replyTimeout (ms) bounds each reply unless said otherwise. lastError is
 * written only where listed.
 *
 * Threads: records of different ports may be used from different threads at
 * once. One record, and one port (records with the same deviceIndex share
 * it), from one thread at a time. The port table is process-wide, but each
 * export touches only its record's slot. The debug log is process-wide too:
 * lines written from different threads never mix (each line is one write),
 * but DoDebug and the unload notification must not run while other calls
 * are under way. */

/* Link, port table, debug log, load notifications. Nothing is sent. */
/* The handle in the record's port slot (deviceIndex), or TOV_INVALID_HANDLE
 * when the slot is free or deviceIndex lies outside 0..254. */
TOVEXPORT void TOVAPI GetComHandle(DeviceRecord* rec, TovHandle* handle);
/* Puts `handle` in the record's slot; what was there is neither closed nor
 * kept. Ignored for a deviceIndex outside 0..254. */
TOVEXPORT void TOVAPI SetComHandle(DeviceRecord* rec, TovHandle handle);
/* Opens "K73_debug.txt" (truncated) the first time, recording `level` and
 * the creation time; every call then logs "bDbgLvl:  <recorded level>".
 * rec is not used. 0 when the file cannot be created. */
TOVEXPORT uint8_t TOVAPI DoDebug(DeviceRecord* rec, uint8_t level);
/* reason 1 (load): frees every port slot. reason 0 (unload): closes the log,
 * then every open port, telling no converter. Always 1. */
TOVEXPORT int32_t TOVAPI DllEntryPoint(void* module, uint32_t reason, void* reserved);

/* Sign-on, packets, version, counters */
/* Opens COM(deviceIndex+1) at 300 baud and wakes the converter: 0x00 up to 10
 * times, 0x03 awaited 10 ticks (1/18.2 s) each; 1 s of silence, 0x88 and 1 s
 * more; the byte baudIndex, echoed within 1 s; reopens at 9600 >> baudIndex
 * baud; 0x00, the mode word (rebuilt: modeLow/Mid/High, sampleRate,
 * replyTimeout), remoteAvg and filter, mode echo within 1 s; the interval
 * count and scanTable; drains; GetVer; on firmware above 100 programs the
 * timer counters from counterPreset. Up to 4 attempts. Reads deviceIndex,
 * baudIndex (0..5, else 0 at once), sampleRate, gain, standby, bipolar,
 * bytesPerConversion, remoteAvg, filter, scanInterval, counterPreset,
 * scanTable, channel, subChannel, queue sizes. Fills dcb, comStat,
 * firmwareVersion, the mode word; resets rxChecksum and scanBufferCount.
 * 1 with the port open; 0 with it closed (open when a packet could not be
 * written). */
TOVEXPORT int16_t TOVAPI SignOn(DeviceRecord* rec);
/* When the port is open: stop packet (0x8A, 0), 0x00, purge, close. Always 1. */
TOVEXPORT int16_t TOVAPI CloseDevice(DeviceRecord* rec);
/* Packet (0x86, 0); reply 0x86, version within replyTimeout. Fills
 * firmwareVersion and reply[0..1]. */
TOVEXPORT int16_t TOVAPI GetVer(DeviceRecord* rec);
/* Sends the packet (command, data), each taken as its low byte. 1 when all
 * three bytes were written. */
TOVEXPORT uint8_t TOVAPI DLL_SendPacket(DeviceRecord* rec, int32_t command, int32_t data);
/* Loads `count` into timer counter `counter` (0..2) on the record's channel:
 * packets (0x01, channel code | counter | 0x84), (0x07, low), (0x07, high).
 * 1 when the last packet was written. */
TOVEXPORT uint8_t TOVAPI WriteCntr(DeviceRecord* rec, int32_t counter, int32_t count);

/* Polled conversions and unit conversion */
/* Drains stale input, sends (0x81, 0); waits replyTimeout for the echo 0x81,
 * then replyTimeout again for 2 or 3 data bytes (3 when bytesPerConversion
 * is 3), least significant first. Fills counts, millivolts, reply[].
 * lastError 1: a time-out; otherwise the byte that came instead of 0x81. */
TOVEXPORT int16_t TOVAPI GetConversion(DeviceRecord* rec);
/* Packet (0x01, channel * 16 + subChannel). 1 when written. */
TOVEXPORT int32_t TOVAPI SetChanCode(DeviceRecord* rec);
/* Recomputes replyTimeout from remoteAvg, sampleRate and baudIndex, then
 * sends (0x04, log2 remoteAvg). 1 when written. */
TOVEXPORT int32_t TOVAPI RemoteAvg(DeviceRecord* rec);
/* millivolts for counts: 0.0002980232 mV per 24-bit count (x 256 when
 * bytesPerConversion is 2); bipolar: 2 x value - 5000. Sends nothing and
 * does not store the result. */
TOVEXPORT double TOVAPI Counts2Volts(DeviceRecord* rec);
/* Takes one word (2 or 3 bytes, least significant first) off the front of
 * scanBuffer into counts and millivolts; a short buffer ends empty. */
TOVEXPORT void TOVAPI Gconv(DeviceRecord* rec);

/* Device settings */
/* Packet (0x03, filter). 1 when written. */
TOVEXPORT uint8_t TOVAPI SetFilter(DeviceRecord* rec);
/* (0x84, 0), acknowledgement 0x84; rebuilds and sends the mode word (as
 * SignOn), its three-byte echo; each within replyTimeout. */
TOVEXPORT int16_t TOVAPI SendADMode(DeviceRecord* rec);
/* (0x87, 1); reply 0x87, sum within replyTimeout. 1 when rxChecksum (with
 * both reply bytes) equals twice the sum, mod 256. Resets rxChecksum once
 * the packet is sent. */
TOVEXPORT int16_t TOVAPI GetCheckSum(DeviceRecord* rec);
/* (0x88, 0), 500 ms, drain: 1 when the last byte was 0x80. Only SignOn wakes
 * the converter again. */
TOVEXPORT int32_t TOVAPI GotoSleep(DeviceRecord* rec);
/* Packet (0x02, value & 0xFF). 1 when written. */
TOVEXPORT int32_t TOVAPI SetDigOut(DeviceRecord* rec, int32_t value);
/* (0x80, 0x4C); reply 0x80, inputs within replyTimeout. Fills digitalIn. */
TOVEXPORT int16_t TOVAPI GetDigIn(DeviceRecord* rec);

/* Calibration. The reply is the command byte and one conversion word. */
/* (0x83, channel code); reply within 2 x replyTimeout, echo checked. */
TOVEXPORT int16_t TOVAPI FullScaleCal(DeviceRecord* rec);
/* (0x82, channel code); reply within 2 x replyTimeout, echo checked. */
TOVEXPORT int16_t TOVAPI OffsetCal(DeviceRecord* rec);
/* At gain 1 (SendADMode when gain is not 1): (0x82, 0x70), (0x83, 0x60);
 * then, when the working gain is not 1, SendADMode and (0x82, 0x70) again
 * at it. Each reply within 2 s, echo
 * not checked. A failure returns at once, possibly leaving gain 1. */
TOVEXPORT int16_t TOVAPI SysCal(DeviceRecord* rec);

/* Scanning. A scan is 0xF0, pointsPerScan words (scanType 2: two more), 0x0F;
 * scanType 0 is one bare word (sizes: tovscan.h). lastError: 1 no start
 * marker, 2 scan incomplete after scanInterval + 2 s, 3 input queue above
 * inQueueSize - 10 bytes or scan list too long, 10 scan rate too fast
 * (0x0A came), 256 scan list too long for scanBuffer (StartScanning). After
 * a 2 or 10 the driver pauses 200 ms and signs on again. */
/* Empties scanBuffer; sends (0x89, subChannel), scanType 2 (0x8C, ...), or
 * for scanType 0 (0x01, channel code), a filter settling pause (2 x settling
 * + 1002 ms) and (0x8B, ...); echo within replyTimeout. */
TOVEXPORT int16_t TOVAPI StartScanning(DeviceRecord* rec);
/* Bytes waiting in the port's input queue (0 when it cannot be asked). */
TOVEXPORT uint32_t TOVAPI GetNumBytesInBuffer(DeviceRecord* rec);
/* Whole scans waiting; -1 with lastError 3 on overflow or a list too long. */
TOVEXPORT int32_t TOVAPI GetNumScansInBuffer(DeviceRecord* rec);
/* Takes one scan into scanBuffer behind what it holds, within scanInterval
 * + 2 s, and drops its start marker. lastError 1, 2, 3, 10. */
TOVEXPORT int16_t TOVAPI GetOneScan(DeviceRecord* rec);
/* Drops n (its low 16 bits, signed; negative drops none) bytes from the
 * front of scanBuffer; returns the bytes left, or those held when all go. */
TOVEXPORT int32_t TOVAPI RemFromBuffer(DeviceRecord* rec, int32_t n);
/* (0x8A, 0), 1500 ms, drain: needs 0x8A last; empties scanBuffer and sends
 * (0x01, channel code). */
TOVEXPORT int16_t TOVAPI StopScanning(DeviceRecord* rec);
/* GetOneScan that also reads the digital inputs: with requestDigIn it keeps
 * one query (0x80, 0x4C) outstanding (digInPending); an answer 0x80, byte in
 * front of a scan fills digitalIn, sets *digInFresh (when given) and the
 * scan's last two bytes follow within the scan's deadline. Logs each scan
 * when the debug log is open. lastError 1, 2, 3, 10. */
TOVEXPORT uint8_t TOVAPI GetOneScanWithDigin(DeviceRecord* rec, uint8_t* digInFresh,
                                             uint8_t requestDigIn);

/* Scan timing. */
/* Writes the longest and shortest intervals (seconds on the timer's grid)
 * the converter can serve for the record's scan list, moves scanInterval
 * onto that grid, and when even the shortest scan outlasts the timer halves
 * remoteAvg once and sends it (RemoteAvg). 0 interval out of limits, 1
 * within, 2 within after halving. Reads filter, counterPreset, baudIndex,
 * sampleRate, pointsPerScan, bytesPerConversion, scanType, firmwareVersion,
 * remoteAvg, scanInterval. */
TOVEXPORT int16_t TOVAPI CheckScanTime(DeviceRecord* rec, double* maxOut, double* minOut);
/* Waits for the digital filter to settle: 8500 ms for filter 0, else 500 ms.
 * Returns the clock reading (ms) at the end. Sends nothing. */
TOVEXPORT int32_t TOVAPI FilterDelay(DeviceRecord* rec);

#ifdef __cplusplus
}
#endif

#endif /* TOVDRV_H */
