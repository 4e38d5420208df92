// A bench in virtual time with a scripted far end on COM1 and a record set up
// the way the console program sets one up from its default configuration.
#ifndef TOV_TESTS_DRIVER_LINK_LINK_FIXTURE_H
#define TOV_TESTS_DRIVER_LINK_LINK_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "bench_record.h"
#include "link.h"
#include "scripted_peer.h"
#include "tovdrv.h"
#include "virtual_bench.h"

namespace linktest {

using k73test::Bytes;
using k73test::Packet;

inline DeviceRecord defaultRecord() {
  DeviceRecord rec = k73test::benchRecord();
  for (auto& entry : rec.scanTable) entry = 0x10;
  rec.scanTable[0] = 0x00;
  rec.replyTimeout = 2000;
  return rec;
}

// Packets in a stream of bytes, checking each checksum on the way.
inline std::vector<Packet> packetsIn(const Bytes& bytes, size_t from = 0) {
  std::vector<Packet> out;
  for (size_t i = from; i + 2 < bytes.size(); i += 3) {
    EXPECT_EQ(static_cast<uint8_t>(bytes[i] + bytes[i + 1]), bytes[i + 2]) << "at byte " << i;
    out.push_back({bytes[i], bytes[i + 1]});
  }
  return out;
}

class LinkBench : public ::testing::Test {
 protected:
  LinkBench() { bench.attach(1, &peer); }
  // Unloading closes whatever a test left open, so no slot leaks into the next.
  ~LinkBench() override { DllEntryPoint(nullptr, 0, nullptr); }

  int64_t elapsedMs(const std::function<void()>& run) {
    const int64_t start = bench.nowMs();
    run();
    return bench.nowMs() - start;
  }

  k73::VirtualBench bench;
  k73test::ScriptedPeer peer;
  DeviceRecord rec = defaultRecord();
};

}  // namespace linktest

#endif
