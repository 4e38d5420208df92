// What a log says about its run: the settings of the dat header and the
// jsonl run object, and the column names of every format.
#ifndef K73LOG_RUN_INFO_H
#define K73LOG_RUN_INFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "channel_list.h"
#include "tovdrv.h"

namespace k73log {

struct RunInfo {
  std::string version;
  int64_t startUtcMs = 0;
  std::string port;
  int baud = 0;
  int bits = 0;
  bool bipolar = false;
  int gain = 0;
  int filterHz = 0;
  double rateHz = 0;
  uint32_t averaging = 0;
  std::string scanType;  // "normal", "selfcal" or "single"
  double intervalS = 0;
  std::vector<std::string> columns;  // value columns, in scan order
};

// The run's description from the record as signed on, and its scan list.
RunInfo describeRun(const DeviceRecord& rec, const ChannelList& channels, int64_t startUtcMs);

// "ch5.3_mV" for channel 5, control code 3; calibration columns first for a
// self-calibrating scan.
std::vector<std::string> valueColumns(int scanType, const ChannelList& channels);

// "2026-12-08T07:01:02.345Z"
std::string isoUtc(int64_t utcMs);

}  // namespace k73log

#endif
