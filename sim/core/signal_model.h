// The analog side of the converter: input voltages, noise, the slowly varying
// input, and the transfer function from millivolts to the counts it sends.
#ifndef K73_SIM_SIGNAL_MODEL_H
#define K73_SIM_SIGNAL_MODEL_H

#include <cstdint>
#include <random>

namespace k73 {

struct Model;

// The A/D mode word as the converter holds it.
struct ModeWord {
  // Power-up setting: gain 1, bipolar, 24-bit words, filter code 1953 (10 Hz).
  uint8_t high = 0x00;
  uint8_t mid = 0x87;
  uint8_t low = 0xA1;

  bool standby() const { return high & 1; }
  int gain() const { return 1 << ((high >> 2) & 7); }
  bool bipolar() const { return !(mid & 0x10); }
  int wordBytes() const { return (mid & 0x80) ? 3 : 2; }
  int filterCode() const { return ((mid & 7) << 8) | low; }
  // Codes below 19 cannot run faster than the modulator allows (about 1028 Hz).
  double rateHz() const { return 19531.25 / (filterCode() < 19 ? 19 : filterCode()); }
  uint32_t packed() const { return uint32_t(high) << 16 | uint32_t(mid) << 8 | low; }
};

// Full-scale counts per millivolt, as the host converts them back.
constexpr double kMvPerCount24 = 0.0002980232;

// Counts for an input of mv millivolts (before gain) under the mode word:
// the input is amplified, clipped to the range (0..5000 mV unipolar,
// -5000..5000 mV bipolar, offset binary) and quantised to the word length.
uint32_t countsForMv(double mv, const ModeWord& mode);

class SignalModel {
 public:
  // Input in mV on channel code (channel << 4 | sub) at time tS, noise included.
  double inputMv(const Model& model, uint8_t channelCode, double tS);
  // One reported value: `averages` conversions one conversion period apart,
  // starting at tS, averaged in counts. Standby reports the zero-input reading.
  uint32_t convert(const Model& model, const ModeWord& mode, uint8_t channelCode, double tS,
                   uint32_t averages);

 private:
  double noise(const Model& model);
  std::mt19937 rng_;
  bool seeded_ = false;
  uint32_t seed_ = 0;
};

}  // namespace k73

#endif
