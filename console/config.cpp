// "tovset.cfg": 26 lines, one number each, in a fixed order and without
// names. Written with printf formats, read back line by line.
#include "config.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tov {

namespace {

constexpr int kLineSize = 80;  // a line is read in pieces of at most 79 characters
constexpr int kConfigLines = 26;

// The decimal integer a line starts with (after blanks); false when none.
// Values beyond 32 bits are cut to their low 32 bits, as a 32-bit read would.
bool parseInteger(const char* line, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(line, &end, 10);
  if (end == line) return false;
  *value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
  return true;
}

bool parseReal(const char* line, double* value) {
  char* end = nullptr;
  double v = std::strtod(line, &end);
  if (end == line) return false;
  *value = v;
  return true;
}

bool isGain(int32_t g) {
  return g >= 1 && g <= 128 && (g & (g - 1)) == 0;
}

// One line's field. Values the program or the driver would use as an index,
// a divisor or a count they cannot handle are refused: the field keeps what
// it had.
void storeLine(int lineNumber, const char* line, DeviceRecord* rec, int32_t& localAveraging) {
  int32_t n = 0;
  double x = 0;
  if (lineNumber == 5 || lineNumber == 22) {
    if (!parseReal(line, &x) || !std::isfinite(x) || x <= 0) return;
    // A value whose six-decimal form would not fit one line could not be
    // saved and read back (the rest of the line would become the next
    // fields), and a rate beyond the float range has no float value.
    if (std::snprintf(nullptr, 0, "%lf", x) >= kLineSize - 1) return;
    if (lineNumber == 22 && x > FLT_MAX) return;
    if (lineNumber == 5)
      rec->scanInterval = x;
    else
      rec->sampleRate = static_cast<float>(x);
    return;
  }
  if (!parseInteger(line, &n)) return;
  const int16_t s = static_cast<int16_t>(n);  // sixteen-bit fields keep their own width
  switch (lineNumber) {
    case 1:
      rec->outQueueSize = static_cast<uint32_t>(n);
      break;
    case 2:
      rec->inQueueSize = static_cast<uint32_t>(n);
      break;
    case 3:
      if (s >= 0 && s <= 5) rec->baudIndex = s;
      break;
    case 4:
      rec->deviceIndex = s;
      break;
    case 6:
      if (s >= 1 && s <= 96) rec->pointsPerScan = s;
      break;
    case 7:
      if (n != 0) rec->remoteAvg = static_cast<uint32_t>(n);
      break;
    case 8:
      if (s >= 0 && s <= 2) rec->scanType = s;
      break;
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
      if (s >= 0 && s <= 0xFF) rec->scanTable[lineNumber - 9] = s;
      break;
    case 15:
      if (s >= 0 && s <= 0x7F) rec->singleChanCode = s;
      break;
    case 16:
      if (s >= 0 && s <= 7) rec->channel = s;
      break;
    case 17:
      if (s >= 0 && s <= 15) rec->subChannel = s;
      break;
    case 18:
      if (s == 2 || s == 3) rec->bytesPerConversion = s;
      break;
    case 19:
      rec->bipolar = s;
      break;
    case 20:
      if (s >= 0 && s <= 2) rec->filter = s;
      break;
    case 21:
      if (isGain(s)) rec->gain = s;
      break;
    case 23:
      rec->modeLow = s;
      break;
    case 24:
      rec->modeMid = s;
      break;
    case 25:
      rec->modeHigh = s;
      break;
    case 26:
      if (s >= 1) localAveraging = s;
      break;
    default:
      break;
  }
}

}  // namespace

void SetConfigurationDefaults(DeviceRecord* rec, int32_t& localAveraging) {
  rec->outQueueSize = 1;
  rec->inQueueSize = 1024;
  rec->baudIndex = 0;
  rec->deviceIndex = 0;
  rec->filter = 2;
  rec->gain = 1;
  rec->sampleRate = 10.0f;
  rec->bytesPerConversion = 3;
  rec->bipolar = 1;
  rec->remoteAvg = 1;
  rec->scanInterval = 2.0;
  rec->pointsPerScan = 6;
  for (int16_t& entry : rec->scanTable) entry = 0;
  rec->singleChanCode = 0;
  rec->scanType = 1;
  rec->channel = 0;
  rec->subChannel = 0;
  localAveraging = 1;
}

bool LoadConfiguration(DeviceRecord* rec, int32_t& localAveraging, const char* fileName) {
  std::FILE* file = std::fopen(fileName, "r");
  if (!file) {
    SetConfigurationDefaults(rec, localAveraging);
    return false;
  }
  char line[kLineSize];
  // A missing line leaves its field as it was, rather than repeating the
  // last value read.
  for (int i = 1; i <= kConfigLines && std::fgets(line, sizeof line, file); ++i)
    storeLine(i, line, rec, localAveraging);
  std::fclose(file);
  return true;
}

bool SaveConfiguration(const DeviceRecord* rec, int32_t localAveraging, const char* fileName) {
  std::FILE* file = std::fopen(fileName, "w");
  if (!file) return false;
  std::fprintf(file, "%d\n", static_cast<int32_t>(rec->outQueueSize));
  std::fprintf(file, "%d\n", static_cast<int32_t>(rec->inQueueSize));
  std::fprintf(file, "%d\n", rec->baudIndex);
  std::fprintf(file, "%d\n", rec->deviceIndex);
  std::fprintf(file, "%lf\n", rec->scanInterval);
  std::fprintf(file, "%d\n", rec->pointsPerScan);
  std::fprintf(file, "%d\n", static_cast<int32_t>(rec->remoteAvg));
  std::fprintf(file, "%d\n", rec->scanType);
  for (int16_t entry : rec->scanTable) std::fprintf(file, "%d\n", entry);
  std::fprintf(file, "%d\n", rec->singleChanCode);
  std::fprintf(file, "%d\n", rec->channel);
  std::fprintf(file, "%d\n", rec->subChannel);
  std::fprintf(file, "%d\n", rec->bytesPerConversion);
  std::fprintf(file, "%d\n", rec->bipolar);
  std::fprintf(file, "%d\n", rec->filter);
  std::fprintf(file, "%d\n", rec->gain);
  std::fprintf(file, "%f\n", static_cast<double>(rec->sampleRate));
  std::fprintf(file, "%d\n", rec->modeLow);
  std::fprintf(file, "%d\n", rec->modeMid);
  std::fprintf(file, "%d\n", rec->modeHigh);
  std::fprintf(file, "%d\n", static_cast<int16_t>(localAveraging));
  std::fclose(file);
  return true;
}

}  // namespace tov
