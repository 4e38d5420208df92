// A converter on COM1 in virtual time whose answers each test scripts, and a
// record whose port is already open at 9600 baud, as after a sign-on; the
// record is set up for polled commands only.
#ifndef TOV_TESTS_DRIVER_POLLED_BENCH_FIXTURE_H
#define TOV_TESTS_DRIVER_POLLED_BENCH_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "port_bench.h"

namespace polled {

using k73test::Bytes;
using k73test::kBaud;
using k73test::kByteUs;
using k73test::Packet;

// Answers like a converter that accepts every mode word (0x84, two mode
// packets, the three-byte echo) and every calibration (echo and a word of
// `wordBytes` bytes); `other` answers everything else.
inline std::function<Bytes(uint8_t, uint8_t)> acceptingConverter(
    const int* wordBytes, std::function<Bytes(uint8_t, uint8_t)> other = nullptr) {
  auto modePacket = std::make_shared<int>(-1);  // -1: not in a mode exchange
  auto high = std::make_shared<uint8_t>(0);
  auto mid = std::make_shared<uint8_t>(0);
  return [=](uint8_t command, uint8_t data) -> Bytes {
    if (*modePacket == 0) {
      *high = command, *mid = data, *modePacket = 1;
      return {};
    }
    if (*modePacket == 1) {
      *modePacket = -1;
      return {*high, *mid, command};
    }
    if (command == 0x84) {
      *modePacket = 0;
      return {0x84};
    }
    if (command == 0x82 || command == 0x83) {
      Bytes reply(*wordBytes + 1, 0x11);
      reply[0] = command;
      return reply;
    }
    return other ? other(command, data) : Bytes{};
  };
}

class PolledBench : public k73test::PortBench {
 protected:
  void SetUp() override {
    // Only the link is set up: no scan, no counter preset.
    rec.scanType = 0;
    rec.scanInterval = 0;
    rec.pointsPerScan = 0;
    rec.counterPreset = 0;
    rec.replyTimeout = 2000;
    converter.sendBaud = kBaud;  // garbled when the host listens at another rate
    PortBench::SetUp();
  }

  // Runs one export and gives the virtual milliseconds it took.
  template <typename Call>
  int64_t elapsedMs(Call call) {
    const int64_t start = bench.nowMs();
    call();
    return bench.nowMs() - start;
  }
};

}  // namespace polled

#endif
