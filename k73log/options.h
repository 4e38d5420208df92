// k73log's command line.
#ifndef K73LOG_OPTIONS_H
#define K73LOG_OPTIONS_H

#include <cstdint>
#include <string>

#include "channel_list.h"
#include "publish_options.h"

namespace k73log {

enum class Format { Dat, Csv, Jsonl };

constexpr int kUnset = -1;

struct LogOptions {
  int comNumber = 1;  // COM1: the file "COM1" in the current directory
  bool channelsGiven = false;
  ChannelList channels{{0, 0, 0}};
  int scanType = kUnset;   // 0 single, 1 normal, 2 self-calibrating
  double interval = 0;     // seconds; 0: not given
  int64_t count = 0;       // scans to write; 0: no limit
  double durationS = 0;    // from the first scan; 0: no limit
  int baudIndex = kUnset;  // converter settings given on the command line
  int bytesPerConversion = kUnset;
  int bipolar = kUnset;
  int gain = kUnset;
  int filter = kUnset;
  double rate = 0;
  int average = kUnset;
  std::string settingsFile;
  Format format = Format::Dat;
  std::string output = "-";  // "-": standard output
  bool noHeader = false;
  bool noReconnect = false;
  bool quiet = false;
  bool verbose = false;
  PublishOptions publish;  // --mqtt and the service's options
};

enum class Command { Run, Help, Version, UsageError };

// Parses the command line. UsageError leaves the one-line reason in *error.
Command parseOptions(int argc, char** argv, LogOptions* opts, std::string* error);

const char* usageText();

// Name of the format as the command line writes it.
const char* formatName(Format format);

}  // namespace k73log

#endif
