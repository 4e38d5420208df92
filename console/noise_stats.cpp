// Noise figures of the polled meter, worked out over blocks of 40 readings.
#include <cmath>
#include <cstdint>

#include "polled.h"

namespace tov {

namespace {

constexpr int kBlockSize = 40;

// Counts as the driver takes them: a whole number, truncated toward zero and
// held inside the 32-bit range so that a wild value cannot overflow.
int32_t TruncatedCounts(double value) {
  if (!(value > -2147483648.0)) return INT32_MIN;
  if (!(value < 2147483647.0)) return INT32_MAX;
  return static_cast<int32_t>(value);
}

}  // namespace

double EffectiveResolution(double sigmaCounts, int16_t bytesPerConversion) {
  double c = sigmaCounts;
  int halvings = 0;
  while (c >= 1.0) {
    c /= 2.0;
    ++halvings;
  }
  double bits = (bytesPerConversion == 3 ? 24 : 16) - halvings;
  // Half a bit more when the noise sits well below the next power of two.
  if (c < 0.75 && halvings != 0) bits += 0.5;
  return bits;
}

void ResetNoiseStats(NoiseStats& stats) {
  stats.sum = 0;
  stats.count = 1;
  stats.average = 0;
  stats.stdDev = 0;
  stats.effectiveBits = 0;
}

void UpdateNoiseStats(NoiseStats& stats, DeviceRecord* rec) {
  // A position outside the block can only come from a damaged state: start
  // the block again rather than write past the samples.
  if (stats.count < 1 || stats.count > kBlockSize) {
    stats.sum = 0;
    stats.count = 1;
  }
  const double reading = rec->counts;
  stats.samples[stats.count] = reading;
  stats.sum += reading;
  if (stats.count < kBlockSize) {
    ++stats.count;
    return;
  }

  const double mean = stats.sum * 0.025;
  double squares = 0;
  for (int i = 1; i <= kBlockSize; ++i) {
    const double d = mean - stats.samples[i];
    squares += d * d;
  }
  const double sigma = std::sqrt(squares * 0.02564102564102564);  // divisor 39
  stats.effectiveBits = EffectiveResolution(sigma, rec->bytesPerConversion);

  // Counts2Volts works on the record's counts; the reading is put back after.
  const int32_t readingCounts = rec->counts;
  rec->counts = TruncatedCounts(mean);
  stats.average = driver.Counts2Volts(rec);
  rec->counts = TruncatedCounts(sigma);
  stats.stdDev = driver.Counts2Volts(rec);
  // Bipolar Counts2Volts is 2*c*k - 5000; adding 5000 leaves the span 2*sigma*k.
  if (rec->bipolar != 0) stats.stdDev += 5000.0;
  rec->counts = readingCounts;

  stats.sum = 0;
  stats.count = 1;
}

}  // namespace tov
