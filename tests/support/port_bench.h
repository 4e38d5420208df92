// A scripted converter on COM1 in virtual time that takes command packets,
// and a record whose port is already open at 9600 baud, as after a sign-on.
// A fixture sets up the record further before calling SetUp().
#ifndef TOV_TESTS_SUPPORT_PORT_BENCH_H
#define TOV_TESTS_SUPPORT_PORT_BENCH_H

#include <gtest/gtest.h>

#include "bench_record.h"
#include "link.h"
#include "scripted_peer.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace k73test {

class PortBench : public ::testing::Test {
 protected:
  void SetUp() override {
    converter.parsePackets = true;
    bench.attach(1, &converter);
    ASSERT_TRUE(tov::openPort(&rec, kBaud, 0));
  }
  void TearDown() override { tov::closePort(&rec); }

  k73::VirtualBench bench;
  ScriptedPeer converter;
  DeviceRecord rec = benchRecord();
};

}  // namespace k73test

#endif
