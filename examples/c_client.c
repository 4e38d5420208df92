/* A minimal client of the Model K73 driver.
 *
 * Signs on to the converter on COM<n> (COM1 unless a number is given; on
 * Linux the file "COMn" in the current directory, a link to the serial
 * device), reads one polled conversion from each of channels 0 to 2, then
 * runs a few normal scans over channels 0 to 5 (control code 0 each) at the
 * shortest interval the converter allows, printing every value in
 * millivolts.
 *
 * Build: cc c_client.c $(pkg-config --cflags --libs tovdrv)
 * Usage: c_client [port number] [scans]
 * Exit status: 0 when every step worked, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tovdrv.h"

/* The settings the console program starts with when it has no
 * configuration file: 9600 baud, 24-bit bipolar words, 10 conversions/s. */
static void defaultSettings(DeviceRecord* rec, int port) {
  memset(rec, 0, sizeof *rec);
  rec->deviceIndex = (int16_t)(port - 1);
  rec->outQueueSize = 1;
  rec->inQueueSize = 1024;
  rec->baudIndex = 0;
  rec->bytesPerConversion = 3;
  rec->bipolar = 1;
  rec->filter = 2;
  rec->gain = 1;
  rec->sampleRate = 10.0f;
  rec->remoteAvg = 1;
  rec->counterPreset = -1; /* no timer preset */
  rec->scanType = 1;
  rec->scanInterval = 2.0;
}

/* Channels 0 to 5, control code 0 each: entry = first code << 4 | last. */
static void sixChannelScan(DeviceRecord* rec) {
  for (int ch = 0; ch < 6; ch++) rec->scanTable[ch] = 0x00;
  rec->pointsPerScan = 6;
  rec->scanType = 1;
  rec->sampleRate = 1027.0f; /* fast conversions keep the interval short */
}

static int readPolled(DeviceRecord* rec) {
  for (int ch = 0; ch < 3; ch++) {
    rec->channel = (int16_t)ch;
    rec->subChannel = 0;
    if (!SetChanCode(rec)) {
      fprintf(stderr, "channel %d could not be selected\n", ch);
      return 0;
    }
    FilterDelay(rec); /* let the filter settle on the new input */
    if (!GetConversion(rec)) {
      fprintf(stderr, "conversion on channel %d failed, error %ld\n", ch, (long)rec->lastError);
      return 0;
    }
    printf("channel %d: %9ld counts %9.3f mV\n", ch, (long)rec->counts, rec->millivolts);
  }
  return 1;
}

static int runScans(DeviceRecord* rec, int scans) {
  double longest = 0.0, shortest = 0.0;
  CheckScanTime(rec, &longest, &shortest); /* learn the limits */
  rec->scanInterval = shortest;
  if (!CheckScanTime(rec, &longest, &shortest)) {
    fprintf(stderr, "no interval fits this scan\n");
    return 0;
  }
  /* The scan table and interval reach the converter only at sign-on. */
  if (!SignOn(rec) || !StartScanning(rec)) {
    fprintf(stderr, "scanning could not be started\n");
    return 0;
  }
  printf("scanning every %.4f s\n", rec->scanInterval);
  int ok = 1;
  for (int scan = 0; scan < scans && ok; scan++) {
    if (!GetOneScan(rec)) {
      fprintf(stderr, "scan %d failed, error %ld\n", scan, (long)rec->lastError);
      ok = 0;
      break;
    }
    printf("scan %d:", scan);
    for (int point = 0; point < rec->pointsPerScan; point++) {
      Gconv(rec);
      printf(" %9.3f", rec->millivolts);
    }
    printf("\n");
    if (rec->scanBufferCount < 1 || rec->scanBuffer[0] != 0x0F) {
      fprintf(stderr, "scan %d has no end marker\n", scan);
      ok = 0;
    }
    RemFromBuffer(rec, 1);
  }
  if (!StopScanning(rec)) {
    fprintf(stderr, "scanning did not stop cleanly\n");
    ok = 0;
  }
  return ok;
}

int main(int argc, char** argv) {
  const int port = argc > 1 ? atoi(argv[1]) : 1;
  const int scans = argc > 2 ? atoi(argv[2]) : 3;
  if (port < 1 || port > TOV_PORT_SLOTS || scans < 0) {
    fprintf(stderr, "usage: %s [port number 1-%d] [scans]\n", argv[0], TOV_PORT_SLOTS);
    return 1;
  }

  static DeviceRecord rec; /* the record is the client's; the driver keeps no copy */
  defaultSettings(&rec, port);
  if (!SignOn(&rec)) {
    fprintf(stderr, "no converter answers on COM%d\n", port);
    return 1;
  }
  printf("signed on at COM%d, firmware version %d\n", port, rec.firmwareVersion);

  int ok = readPolled(&rec);
  if (ok) {
    sixChannelScan(&rec);
    ok = runScans(&rec, scans);
  }
  CloseDevice(&rec);
  return ok ? 0 : 1;
}
