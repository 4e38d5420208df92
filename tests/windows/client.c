/* A plain Win32 client of tovdrv.dll, run under Wine against k73sim.
 *
 * It binds every export by its plain name as any client would, signs on at
 * COM1, reads polled conversions, runs a short normal scan and stops it,
 * then signs on again through COM12 (the same converter under a two-digit
 * port number) and finally unloads the driver with the port still open.
 *
 * Usage: client.exe <firmware version> <ch0 mV> <ch1 mV> <tolerance mV>
 * Prints one "ok - ..." or "not ok - ..." line per check and exits with the
 * number of failed checks. */
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "tovdrv.h"
#include "tovdrv_exports.h"

static int failures;
static int passes;

static void check(int ok, const char* what, const char* detailFormat, ...) {
  va_list args;
  printf("%s - %s", ok ? "ok" : "not ok", what);
  if (!ok && detailFormat) {
    printf(": ");
    va_start(args, detailFormat);
    vprintf(detailFormat, args);
    va_end(args);
  }
  printf("\n");
  fflush(stdout);
  if (ok) {
    passes++;
  } else {
    failures++;
  }
}

#define EXPORT_NAME(name) #name,
static const char* const kExports[32] = {TOVDRV_EXPORTS(EXPORT_NAME, EXPORT_NAME)};
#undef EXPORT_NAME

typedef int16_t(TOVAPI* RecordFn16)(DeviceRecord*);
typedef int32_t(TOVAPI* RecordFn32)(DeviceRecord*);
typedef void(TOVAPI* RecordFnVoid)(DeviceRecord*);
typedef void(TOVAPI* GetComHandleFn)(DeviceRecord*, TovHandle*);
typedef void(TOVAPI* SetComHandleFn)(DeviceRecord*, TovHandle);
typedef int32_t(TOVAPI* RemFromBufferFn)(DeviceRecord*, int32_t);
typedef int16_t(TOVAPI* CheckScanTimeFn)(DeviceRecord*, double*, double*);

static HMODULE driver;

static void* exportNamed(const char* name) {
  return (void*)GetProcAddress(driver, name);
}

static double secondsNow(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (double)count.QuadPart / (double)frequency.QuadPart;
}

static double processCpuSeconds(void) {
  FILETIME created, exited, kernel, user;
  ULARGE_INTEGER k, u;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  k.LowPart = kernel.dwLowDateTime;
  k.HighPart = kernel.dwHighDateTime;
  u.LowPart = user.dwLowDateTime;
  u.HighPart = user.dwHighDateTime;
  return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

/* The settings the console program starts with when it has no configuration
 * file, on the port of deviceIndex. */
static void benchRecord(DeviceRecord* rec, int deviceIndex) {
  memset(rec, 0, sizeof *rec);
  rec->deviceIndex = (int16_t)deviceIndex;
  rec->outQueueSize = 1;
  rec->inQueueSize = 1024;
  rec->baudIndex = 0;
  rec->scanInterval = 2.0;
  rec->pointsPerScan = 6;
  rec->remoteAvg = 1;
  rec->scanType = 1;
  rec->bytesPerConversion = 3;
  rec->bipolar = 1;
  rec->filter = 2;
  rec->gain = 1;
  rec->sampleRate = 10.0f;
  rec->counterPreset = -1;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: client.exe <firmware version> <ch0 mV> <ch1 mV> <tolerance mV>\n");
    return 100;
  }
  const int expectedVersion = atoi(argv[1]);
  const double expectedMv[2] = {atof(argv[2]), atof(argv[3])};
  const double toleranceMv = atof(argv[4]);

  driver = LoadLibraryA("tovdrv.dll");
  check(driver != NULL, "LoadLibraryA(tovdrv.dll)", "error %lu", GetLastError());
  if (!driver) return 1;

  int missing = 0;
  for (int i = 0; i < 32; i++) {
    if (!exportNamed(kExports[i])) {
      printf("# missing export %s\n", kExports[i]);
      missing++;
    }
  }
  check(missing == 0, "all 32 exports resolve by plain name", "%d missing", missing);
  if (missing) return failures;

  RecordFn16 SignOn = (RecordFn16)exportNamed("SignOn");
  RecordFn16 CloseDevice = (RecordFn16)exportNamed("CloseDevice");
  RecordFn16 GetVer = (RecordFn16)exportNamed("GetVer");
  RecordFn16 GetConversion = (RecordFn16)exportNamed("GetConversion");
  RecordFn32 SetChanCode = (RecordFn32)exportNamed("SetChanCode");
  RecordFn32 RemoteAvg = (RecordFn32)exportNamed("RemoteAvg");
  RecordFn16 StartScanning = (RecordFn16)exportNamed("StartScanning");
  RecordFn32 GetNumScansInBuffer = (RecordFn32)exportNamed("GetNumScansInBuffer");
  RecordFn16 GetOneScan = (RecordFn16)exportNamed("GetOneScan");
  RecordFnVoid Gconv = (RecordFnVoid)exportNamed("Gconv");
  RemFromBufferFn RemFromBuffer = (RemFromBufferFn)exportNamed("RemFromBuffer");
  RecordFn16 StopScanning = (RecordFn16)exportNamed("StopScanning");
  CheckScanTimeFn CheckScanTime = (CheckScanTimeFn)exportNamed("CheckScanTime");
  GetComHandleFn GetComHandle = (GetComHandleFn)exportNamed("GetComHandle");

  DeviceRecord rec;
  benchRecord(&rec, 0);
  TovHandle handle = NULL;

  /* DllEntryPoint ran at load: every port slot starts free. */
  GetComHandle(&rec, &handle);
  check(handle == INVALID_HANDLE_VALUE, "port slot free after load", "handle %p", handle);

  double t0 = secondsNow();
  int16_t signedOn = SignOn(&rec);
  check(signedOn == 1, "SignOn at COM1", "result %d after %.1f s", signedOn, secondsNow() - t0);
  if (signedOn != 1) return failures;
  printf("# sign-on took %.2f s\n", secondsNow() - t0);
  GetComHandle(&rec, &handle);
  check(handle != INVALID_HANDLE_VALUE && handle != NULL, "GetComHandle gives the open port",
        "handle %p", handle);
  check(GetVer(&rec) == 1 && rec.firmwareVersion == expectedVersion, "GetVer",
        "version %d, expected %d", rec.firmwareVersion, expectedVersion);

  /* Polled conversions on channels 0 and 1; a wait for a reply must sleep. */
  double cpu0 = processCpuSeconds(), wall0 = secondsNow();
  for (int channel = 0; channel < 2; channel++) {
    rec.channel = (int16_t)channel;
    SetChanCode(&rec);
    int ok = 1;
    double worst = 0;
    for (int i = 0; i < 3 && ok; i++) {
      ok = GetConversion(&rec) == 1;
      double off = fabs(rec.millivolts - expectedMv[channel]);
      if (off > worst) worst = off;
    }
    char what[64];
    snprintf(what, sizeof what, "GetConversion on channel %d", channel);
    check(ok && worst <= toleranceMv, what, "ok %d, last %.3f mV, expected %.3f mV (lastError %d)",
          ok, rec.millivolts, expectedMv[channel], (int)rec.lastError);
  }
  double pollCpu = processCpuSeconds() - cpu0, pollWall = secondsNow() - wall0;
  printf("# 6 polled conversions: %.2f s wall, %.3f s CPU\n", pollWall, pollCpu);

  /* A normal scan of channel 0 and channel 1, code 0 each. */
  rec.channel = 0;
  rec.scanType = 1;
  for (int c = 0; c < 6; c++) rec.scanTable[c] = c < 2 ? 0x00 : 0x10;
  rec.pointsPerScan = 2;
  double longest = 0, shortest = 0;
  rec.scanInterval = 1.0;
  int16_t fit = CheckScanTime(&rec, &longest, &shortest);
  printf("# scan interval %.4f s, limits %.4f .. %.4f s\n", rec.scanInterval, shortest, longest);
  check(fit == 1 || fit == 2, "CheckScanTime accepts the interval", "result %d", fit);
  check(SignOn(&rec) == 1, "SignOn with the scan table", NULL);
  RemoteAvg(&rec);

  cpu0 = processCpuSeconds();
  wall0 = secondsNow();
  check(StartScanning(&rec) == 1, "StartScanning", "lastError %d", (int)rec.lastError);
  /* GetOneScan waits inside the driver for each scan to arrive. */
  int goodScans = 0;
  for (int scan = 0; scan < 3; scan++) {
    if (GetOneScan(&rec) != 1) {
      printf("# scan %d: lastError %d\n", scan, (int)rec.lastError);
      break;
    }
    int inRange = 1;
    for (int point = 0; point < 2; point++) {
      Gconv(&rec);
      if (fabs(rec.millivolts - expectedMv[point]) > toleranceMv) {
        printf("# scan %d point %d: %.3f mV\n", scan, point, rec.millivolts);
        inRange = 0;
      }
    }
    int endMarker = rec.scanBufferCount >= 1 && rec.scanBuffer[0] == 0x0F;
    if (endMarker) RemFromBuffer(&rec, 1);
    if (inRange && endMarker && rec.scanBufferCount == 0) goodScans++;
  }
  check(goodScans == 3, "three scans with the expected values and markers", "%d good", goodScans);
  double scanCpu = processCpuSeconds() - cpu0, scanWall = secondsNow() - wall0;
  printf("# 3 scans: %.2f s wall, %.3f s CPU\n", scanWall, scanCpu);

  /* The next scan is counted in the port's queue before it is taken. */
  double deadline = secondsNow() + rec.scanInterval + 3.0;
  int32_t waiting = 0;
  while ((waiting = GetNumScansInBuffer(&rec)) == 0 && secondsNow() < deadline) Sleep(20);
  check(waiting >= 1, "GetNumScansInBuffer counts a waiting scan", "%d", (int)waiting);
  check(StopScanning(&rec) == 1, "StopScanning", NULL);

  /* Spinning would cost about one CPU-second per second of waiting. */
  check(pollCpu < 0.5 * pollWall, "waiting for a polled reply does not spin",
        "%.2f s CPU over %.2f s", pollCpu, pollWall);
  check(scanCpu < 0.5 * scanWall, "waiting for a scan does not spin", "%.2f s CPU over %.2f s",
        scanCpu, scanWall);

  check(CloseDevice(&rec) == 1, "CloseDevice", NULL);
  GetComHandle(&rec, &handle);
  check(handle == INVALID_HANDLE_VALUE, "port slot free after CloseDevice", "handle %p", handle);

  /* The same converter mapped as COM12: port names above COM9 need the
   * device-namespace form. */
  DeviceRecord com12;
  benchRecord(&com12, 11);
  t0 = secondsNow();
  signedOn = SignOn(&com12);
  check(signedOn == 1, "SignOn through COM12", "result %d after %.1f s", signedOn,
        secondsNow() - t0);
  /* Sign-on leaves the converter's channel as it was; choose channel 0. */
  if (signedOn == 1) SetChanCode(&com12);
  t0 = secondsNow();
  int16_t converted = signedOn == 1 ? GetConversion(&com12) : 0;
  check(converted == 1 && fabs(com12.millivolts - expectedMv[0]) <= toleranceMv,
        "GetConversion through COM12", "result %d after %.2f s, %.3f mV, lastError %d", converted,
        secondsNow() - t0, com12.millivolts, (int)com12.lastError);

  /* A handle put in the slot from outside, opened for plain synchronous I/O
   * with the driver's settings (Wine lets the port be opened twice): the
   * driver writes, reads and waits on it as well. */
  if (converted == 1) {
    SetComHandleFn SetComHandle = (SetComHandleFn)exportNamed("SetComHandle");
    TovHandle driverHandle = NULL;
    GetComHandle(&com12, &driverHandle);
    HANDLE own =
        CreateFileA("\\\\.\\COM12", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS atOnce = {MAXDWORD, 0, 0, 0, 0};
    const int usable = own != INVALID_HANDLE_VALUE && GetCommState(own, &dcb) &&
                       BuildCommDCBA("9600,n,8,1", &dcb) && SetCommState(own, &dcb) &&
                       SetCommTimeouts(own, &atOnce);
    if (usable) SetComHandle(&com12, own);
    t0 = secondsNow();
    converted = usable ? GetConversion(&com12) : 0;
    check(converted == 1 && fabs(com12.millivolts - expectedMv[0]) <= toleranceMv,
          "GetConversion through a handle given with SetComHandle",
          "result %d after %.2f s, %.3f mV, lastError %d", converted, secondsNow() - t0,
          com12.millivolts, (int)com12.lastError);
    SetComHandle(&com12, driverHandle);
    if (own != INVALID_HANDLE_VALUE) CloseHandle(own);
  }

  /* Unloading with COM12 still open closes it (DllEntryPoint on detach):
   * a fresh load can open it again, which Windows would refuse while the
   * old handle lived (ports are opened without sharing). */
  check(FreeLibrary(driver) != 0, "FreeLibrary with a port open", NULL);
  driver = LoadLibraryA("tovdrv.dll");
  SignOn = (RecordFn16)exportNamed("SignOn");
  CloseDevice = (RecordFn16)exportNamed("CloseDevice");
  benchRecord(&com12, 11);
  check(driver && SignOn && SignOn(&com12) == 1, "SignOn at COM12 after reloading the driver",
        NULL);
  if (driver && CloseDevice) CloseDevice(&com12);
  if (driver) FreeLibrary(driver);

  printf("client: %d passed, %d failed\n", passes, failures);
  return failures;
}
