// From the command line to what a run needs: the device record the converter
// is signed on with, the scan's channels, and the output file.
#ifndef K73LOG_RUN_SETUP_H
#define K73LOG_RUN_SETUP_H

#include <cstdio>
#include <string>

#include "options.h"
#include "tovdrv.h"

namespace k73log {

struct RunSetup {
  DeviceRecord rec{};
  ChannelList channels;
  bool shortestInterval = true;
};

// The converter settings start from the console's first-run defaults, or
// from --settings FILE; the options go on top. False with a one-line usage
// error naming the option.
bool buildRunSetup(const LogOptions& opts, RunSetup* setup, std::string* error);

struct OutputFile {
  std::FILE* file = nullptr;
  bool empty = true;
  bool standardOutput = false;
};

// Opens -o for appending (never truncating). A csv that already holds a
// column row other than this run's is refused, as mixed columns would
// corrupt it. False with a one-line usage error.
bool openOutput(const LogOptions& opts, const std::string& csvColumnRow, OutputFile* out,
                std::string* error);

}  // namespace k73log

#endif
