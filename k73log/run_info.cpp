#include "run_info.h"

#include <cstdio>
#include <ctime>

#include "tovscan.h"

namespace k73log {

namespace {

const char* scanTypeName(int scanType) {
  if (scanType == 0) return "single";
  if (scanType == 2) return "selfcal";
  return "normal";
}

int filterHz(int filter) {
  if (filter == 0) return 4;
  if (filter == 1) return 40;
  return 400;
}

}  // namespace

std::vector<std::string> valueColumns(int scanType, const ChannelList& channels) {
  std::vector<std::string> columns;
  if (scanType == 2) {
    columns.push_back("cal_offset_mV");
    columns.push_back("cal_fullscale_mV");
  }
  for (const ChannelCodes& c : channels) {
    for (int code = c.firstCode; code <= c.lastCode; ++code) {
      columns.push_back("ch" + std::to_string(c.channel) + "." + std::to_string(code) + "_mV");
      if (scanType == 0) return columns;  // one point
    }
  }
  return columns;
}

RunInfo describeRun(const DeviceRecord& rec, const ChannelList& channels, int64_t startUtcMs) {
  RunInfo info;
  info.version = K73_VERSION;
  info.startUtcMs = startUtcMs;
  info.port = "COM" + std::to_string(rec.deviceIndex + 1);
  info.baud = tovBaudRate(rec.baudIndex);
  info.bits = rec.bytesPerConversion == 2 ? 16 : 24;
  info.bipolar = rec.bipolar != 0;
  info.gain = rec.gain;
  info.filterHz = filterHz(rec.filter);
  info.rateHz = rec.sampleRate;
  info.averaging = rec.remoteAvg;
  info.scanType = scanTypeName(rec.scanType);
  info.intervalS = rec.scanInterval;
  info.columns = valueColumns(rec.scanType, channels);
  return info;
}

std::string isoUtc(int64_t utcMs) {
  const time_t seconds = static_cast<time_t>(utcMs / 1000);
  const std::tm* t = std::gmtime(&seconds);  // single-threaded program
  char text[96] = "";
  if (t) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t->tm_year + 1900,
                  t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec,
                  static_cast<int>(utcMs % 1000));
  }
  return text;
}

}  // namespace k73log
