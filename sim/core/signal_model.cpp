#include "signal_model.h"

#include <algorithm>
#include <cmath>

#include "converter.h"

namespace k73 {

uint32_t countsForMv(double mv, const ModeWord& mode) {
  const bool bipolar = mode.bipolar();
  double v = std::clamp(mv * mode.gain(), bipolar ? -5000.0 : 0.0, 5000.0);
  // Offset binary: -5000 mV is zero counts, 0 mV mid-scale.
  if (bipolar) v = (v + 5000.0) / 2.0;
  const double perCount = mode.wordBytes() == 3 ? kMvPerCount24 : kMvPerCount24 * 256.0;
  const double maxCounts = mode.wordBytes() == 3 ? 16777215.0 : 65535.0;
  return static_cast<uint32_t>(std::clamp(std::round(v / perCount), 0.0, maxCounts));
}

double SignalModel::noise(const Model& model) {
  if (model.noiseMv <= 0) return 0;
  if (!seeded_ || seed_ != model.seed) {
    rng_.seed(model.seed);
    seeded_ = true;
    seed_ = model.seed;
  }
  std::uniform_real_distribution<double> d(-0.5, 0.5);
  return d(rng_) * model.noiseMv;
}

double SignalModel::inputMv(const Model& model, uint8_t channelCode, double tS) {
  const int channel = (channelCode >> 4) & 7;
  const int sub = channelCode & 15;
  double mv = model.inputMv[channel][sub];
  if (channel == model.waveChannel && sub == model.waveSubChannel && model.wavePeriodS > 0) {
    mv += model.waveAmplitudeMv * std::sin(2.0 * M_PI * tS / model.wavePeriodS);
  }
  return mv + noise(model);
}

uint32_t SignalModel::convert(const Model& model, const ModeWord& mode, uint8_t channelCode,
                              double tS, uint32_t averages) {
  if (mode.standby()) return countsForMv(0.0, mode);
  // Beyond a few thousand conversions the average no longer changes visibly;
  // cap the work so a huge averaging setting costs no more than that.
  const uint32_t samples = std::clamp<uint32_t>(averages, 1, 4096);
  const double period = 1.0 / mode.rateHz() * (double(averages) / samples);
  double sum = 0;
  for (uint32_t i = 0; i < samples; ++i) {
    sum += countsForMv(inputMv(model, channelCode, tS + i * period), mode);
  }
  return static_cast<uint32_t>(std::lround(sum / samples));
}

}  // namespace k73
