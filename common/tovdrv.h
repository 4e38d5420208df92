/* Model K73 converter driver: the device record and the 32 exports.
 *
 * One record per converter, owned by the client. Every export takes a
 * pointer to it first; the driver fills results and work areas back in.
 * Usable from C and C++; the exports use the Win32 calling convention on
 * Windows and plain C linkage elsewhere. */
#ifndef TOVDRV_H
#define TOVDRV_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
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

#ifdef __cplusplus
extern "C" {
#endif

/* Link, port table, debug log, load notifications */
TOVEXPORT void TOVAPI GetComHandle(DeviceRecord* rec, TovHandle* handle);
TOVEXPORT void TOVAPI SetComHandle(DeviceRecord* rec, TovHandle handle);
TOVEXPORT uint8_t TOVAPI DoDebug(DeviceRecord* rec, uint8_t level);
TOVEXPORT int32_t TOVAPI DllEntryPoint(void* module, uint32_t reason, void* reserved);

/* Sign-on, packets, version, counters */
TOVEXPORT int16_t TOVAPI SignOn(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI CloseDevice(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI GetVer(DeviceRecord* rec);
TOVEXPORT uint8_t TOVAPI DLL_SendPacket(DeviceRecord* rec, int32_t command, int32_t data);
TOVEXPORT uint8_t TOVAPI WriteCntr(DeviceRecord* rec, int32_t counter, int32_t count);

/* Polled conversions and unit conversion */
TOVEXPORT int16_t TOVAPI GetConversion(DeviceRecord* rec);
TOVEXPORT int32_t TOVAPI SetChanCode(DeviceRecord* rec);
TOVEXPORT int32_t TOVAPI RemoteAvg(DeviceRecord* rec);
TOVEXPORT double TOVAPI Counts2Volts(DeviceRecord* rec);
TOVEXPORT void TOVAPI Gconv(DeviceRecord* rec);

/* Device settings */
TOVEXPORT uint8_t TOVAPI SetFilter(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI SendADMode(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI GetCheckSum(DeviceRecord* rec);
TOVEXPORT int32_t TOVAPI GotoSleep(DeviceRecord* rec);
TOVEXPORT int32_t TOVAPI SetDigOut(DeviceRecord* rec, int32_t value);
TOVEXPORT int16_t TOVAPI GetDigIn(DeviceRecord* rec);

/* Calibration */
TOVEXPORT int16_t TOVAPI FullScaleCal(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI OffsetCal(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI SysCal(DeviceRecord* rec);

/* Scanning */
TOVEXPORT int16_t TOVAPI StartScanning(DeviceRecord* rec);
TOVEXPORT uint32_t TOVAPI GetNumBytesInBuffer(DeviceRecord* rec);
TOVEXPORT int32_t TOVAPI GetNumScansInBuffer(DeviceRecord* rec);
TOVEXPORT int16_t TOVAPI GetOneScan(DeviceRecord* rec);
TOVEXPORT int32_t TOVAPI RemFromBuffer(DeviceRecord* rec, int32_t n);
TOVEXPORT int16_t TOVAPI StopScanning(DeviceRecord* rec);
TOVEXPORT uint8_t TOVAPI GetOneScanWithDigin(DeviceRecord* rec, uint8_t* digInFresh,
                                             uint8_t requestDigIn);

/* Scan timing */
TOVEXPORT int16_t TOVAPI CheckScanTime(DeviceRecord* rec, double* maxOut, double* minOut);
TOVEXPORT int32_t TOVAPI FilterDelay(DeviceRecord* rec);

#ifdef __cplusplus
}
#endif

#endif /* TOVDRV_H */
