// The settings file with any contents: loading never reads out of bounds,
// every field keeps a value the program can use, and what is loaded saves
// and loads back unchanged.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings_file.h"

namespace {

std::string scratchFile(const char* tag) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/k73-config-fuzz.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) std::abort();
    return std::string(made);
  }();
  return dir + "/" + tag;
}

DeviceRecord defaults(int32_t& localAveraging) {
  DeviceRecord rec;
  std::memset(&rec, 0, sizeof rec);
  tov::SetConfigurationDefaults(&rec, localAveraging);
  return rec;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = scratchFile("in.cfg");
  const std::string out = scratchFile("out.cfg");
  std::FILE* f = std::fopen(in.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  int32_t averaging = 1;
  DeviceRecord rec = defaults(averaging);
  check(tov::LoadConfiguration(&rec, averaging, in.c_str()));

  // Values the program indexes, divides or counts with stay usable.
  check(rec.baudIndex >= 0 && rec.baudIndex <= 5);
  check(rec.scanType >= 0 && rec.scanType <= 2);
  check(rec.pointsPerScan >= 0 && rec.pointsPerScan <= 96);  // 0: every channel skipped
  check(rec.bytesPerConversion == 2 || rec.bytesPerConversion == 3);
  check(rec.filter >= 0 && rec.filter <= 2);
  check(rec.gain >= 1 && rec.gain <= 128 && (rec.gain & (rec.gain - 1)) == 0);
  check(std::isfinite(rec.scanInterval) && rec.scanInterval > 0);
  check(std::isfinite(rec.sampleRate) && rec.sampleRate > 0);
  check(rec.remoteAvg != 0);
  check(averaging >= 1);

  // Saving what was loaded and loading it again gives the same settings.
  check(tov::SaveConfiguration(&rec, averaging, out.c_str()));
  int32_t again = 1;
  DeviceRecord back = defaults(again);
  check(tov::LoadConfiguration(&back, again, out.c_str()));
  check(back.outQueueSize == rec.outQueueSize && back.inQueueSize == rec.inQueueSize);
  check(back.baudIndex == rec.baudIndex && back.deviceIndex == rec.deviceIndex);
  check(back.pointsPerScan == rec.pointsPerScan && back.remoteAvg == rec.remoteAvg);
  check(back.scanType == rec.scanType);
  check(std::memcmp(back.scanTable, rec.scanTable, sizeof rec.scanTable) == 0);
  check(back.singleChanCode == rec.singleChanCode && back.channel == rec.channel);
  check(back.subChannel == rec.subChannel);
  check(back.bytesPerConversion == rec.bytesPerConversion && back.bipolar == rec.bipolar);
  check(back.filter == rec.filter && back.gain == rec.gain);
  check(back.modeLow == rec.modeLow && back.modeMid == rec.modeMid);
  check(back.modeHigh == rec.modeHigh);
  check(static_cast<int16_t>(again) == static_cast<int16_t>(averaging));
  // Six decimals are all the file keeps of the two real numbers.
  check(std::fabs(back.scanInterval - rec.scanInterval) <= 0.5e-6 * (1 + rec.scanInterval) ||
        rec.scanInterval < 1e-6);
  check(std::fabs(back.sampleRate - rec.sampleRate) <= 1e-6f * (1 + rec.sampleRate) ||
        rec.sampleRate < 1e-6f);
  return 0;
}
