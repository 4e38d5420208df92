// Polled conversions through the built driver and a pseudo-terminal to the
// simulator, in real time: the millivolts must be the simulator's inputs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "bench_record.h"
#include "bound_driver.h"
#include "sim_process.h"
#include "tovdrv.h"

namespace {

struct PolledDriver : k73test::BoundDriver {
  // Selects the channel and returns one conversion in millivolts (NaN on failure).
  double read(DeviceRecord* rec, int channel, int sub) {
    rec->channel = static_cast<int16_t>(channel);
    rec->subChannel = static_cast<int16_t>(sub);
    if (SetChanCode(rec) != 1 || GetConversion(rec) != 1) return std::nan("");
    return rec->millivolts;
  }
};

DeviceRecord polledRecord() {
  DeviceRecord rec = k73test::benchRecord();
  rec.scanInterval = 1.0;
  for (auto& entry : rec.scanTable) entry = 0x10;
  rec.sampleRate = 100;
  return rec;
}

TEST(PolledOverPty, ConversionsGiveTheSimulatorsInputs) {
  if (access(k73test::binPath("k73sim").c_str(), X_OK) != 0) GTEST_SKIP() << "no k73sim built";
  PolledDriver drv;
  ASSERT_TRUE(drv.ok()) << drv.lib.error();
  k73test::SimProcess sim(k73test::binPath("k73sim"),
                          {"--quiet", "--noise", "0", "--input", "0.3=1111.1", "--input",
                           "2=-2222.2", "--input", "5=4321.0"});
  ASSERT_TRUE(sim.start()) << sim.log();

  DeviceRecord rec = polledRecord();
  ASSERT_EQ(drv.SignOn(&rec), 1) << sim.log();
  ASSERT_EQ(drv.SysCal(&rec), 1);
  EXPECT_EQ(drv.GetCheckSum(&rec), 1);

  // 24-bit unipolar: a count is 0.0003 mV.
  EXPECT_NEAR(drv.read(&rec, 0, 3), 1111.1, 0.001);
  EXPECT_NEAR(drv.read(&rec, 5, 9), 4321.0, 0.001);
  EXPECT_NEAR(drv.read(&rec, 2, 0), 0.0, 0.001);  // negative input clips at zero

  // 16-bit bipolar: a count is about 0.15 mV.
  rec.bytesPerConversion = 2;
  rec.bipolar = 1;
  ASSERT_EQ(drv.SendADMode(&rec), 1);
  EXPECT_NEAR(drv.read(&rec, 2, 0), -2222.2, 0.16);
  EXPECT_NEAR(drv.read(&rec, 0, 3), 1111.1, 0.16);
  EXPECT_LE(rec.counts, 65535);

  // Many in a row: none lost, none out of step with its request.
  for (int i = 0; i < 20; ++i) {
    EXPECT_NEAR(drv.read(&rec, i % 2 ? 5 : 0, 3), i % 2 ? 4321.0 : 1111.1, 0.16) << i;
  }
  EXPECT_EQ(drv.GetCheckSum(&rec), 1);
  EXPECT_EQ(drv.CloseDevice(&rec), 1);
}

}  // namespace
