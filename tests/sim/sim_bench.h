// A converter on COM1 in virtual time with a record ready for the driver,
// the way a bench is set up: default settings, port COM1, 9600 baud.
#ifndef K73_TESTS_SIM_SIM_BENCH_H
#define K73_TESTS_SIM_SIM_BENCH_H

#include <gtest/gtest.h>

#include <vector>

#include "bench_record.h"
#include "converter.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace simtest {

inline DeviceRecord defaultRecord() {
  DeviceRecord rec = k73test::benchRecord();
  rec.filter = 2;
  rec.bipolar = 1;
  rec.pointsPerScan = 6;
  return rec;
}

// A steady, noise-free converter so readings can be compared exactly.
inline k73::Model quietModel() {
  k73::Model m = k73::Model::demo();
  m.noiseMv = 0;
  m.waveChannel = -1;
  return m;
}

class SimBench : public ::testing::Test {
 protected:
  SimBench() : converter(quietModel()), rec(defaultRecord()) {
    DllEntryPoint(nullptr, 1, nullptr);
    bench.attach(1, &converter);
  }
  ~SimBench() override { DllEntryPoint(nullptr, 0, nullptr); }

  // Bytes the converter sent that reached the driver's port, from index `from`.
  std::vector<uint8_t> receivedBytes(size_t from = 0) {
    std::vector<uint8_t> out;
    const auto& r = bench.received(1);
    for (size_t i = from; i < r.size(); ++i) out.push_back(r[i].byte);
    return out;
  }

  k73::VirtualBench bench;
  k73::Converter converter;
  DeviceRecord rec;
};

}  // namespace simtest

#endif
