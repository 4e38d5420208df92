#include "scan_timer.h"

namespace k73 {

std::vector<uint8_t> scanPointCodes(const uint8_t table[6]) {
  std::vector<uint8_t> codes;
  for (int channel = 0; channel < 6; ++channel) {
    const int from = table[channel] >> 4;
    const int to = table[channel] & 15;
    for (int code = from; code <= to; ++code) codes.push_back(uint8_t(channel << 4 | code));
  }
  return codes;
}

double scanTickRate(uint8_t firmware, uint32_t counter0, int baudIndex) {
  const double base =
      (firmware > 100 && counter0 != 0xFF && counter0 != 0xFFFFFFFFu) ? 4882.8125 : 3906.25;
  return base / double(1 << baudIndex);
}

int scanBytes(int type, int points, int wordBytes) {
  if (type == 0) return wordBytes;
  if (type == 2) return (points + 2) * wordBytes + 2;
  return points * wordBytes + 2;
}

double filterSettleS(uint8_t filter, bool countersPreset) {
  if (countersPreset) return 0.025;
  const double s = filter == 0 ? 4.5 : filter == 1 ? 0.56 : 0.036;
  return 0.8 * s;
}

ScanCost scanCost(int type, int points, int wordBytes, uint32_t averages, double rateHz,
                  double settleS, uint32_t lineBaud) {
  ScanCost cost{};
  const double conversion = double(averages) / rateHz;
  if (type == 0) {
    cost.measureS = conversion;  // no channel switch: nothing to settle
  } else {
    const double p = 9600.0 / lineBaud;  // the firmware's housekeeping runs off the same divider
    cost.measureS = points * (conversion + settleS) + 0.005 * p;
    if (type == 2) cost.measureS += 0.004 * p + 2 * (4.0 / rateHz + settleS);
  }
  cost.transmitS = scanBytes(type, points, wordBytes) * 10.0 / lineBaud;
  return cost;
}

void ScanRun::start(int type, int64_t firstTickUs, int64_t intervalUs) {
  running_ = true;
  type_ = type;
  firstTickUs_ = firstTickUs;
  intervalUs_ = intervalUs > 0 ? intervalUs : 1;
  scans_ = 0;
}

}  // namespace k73
