// Settings files found by fuzzing the loader (fuzz/config_file_fuzz), kept as
// ordinary tests so that the normal and the sanitizer builds run them too.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings_file.h"
#include "tmux_session.h"

namespace {

using tov::test::TempDir;

DeviceRecord Defaults(int32_t& averaging) {
  DeviceRecord rec;
  std::memset(&rec, 0, sizeof rec);
  tov::SetConfigurationDefaults(&rec, averaging);
  return rec;
}

// A scan interval of 6E200 seconds used to be taken, and then saved as a
// 208-character line; read back in 79-character pieces, its digits became
// the points per scan, averaging, scan type and scan table of the next start.
TEST(ConfigurationRegressions, AnIntervalTooLongToSaveIsRefusedAndTheFileSurvivesASave) {
  TempDir dir;
  dir.write("tovset.cfg", "1\n14\n0\n0\n6E200.0\n1\n0\n0\n0\n1\n.00001\n");
  int32_t averaging = 1;
  DeviceRecord rec = Defaults(averaging);
  ASSERT_TRUE(tov::LoadConfiguration(&rec, averaging, dir.file("tovset.cfg").c_str()));
  EXPECT_EQ(rec.scanInterval, 2.0);  // kept its previous value
  EXPECT_EQ(rec.inQueueSize, 14u);

  ASSERT_TRUE(tov::SaveConfiguration(&rec, averaging, dir.file("again.cfg").c_str()));
  int32_t again = 1;
  DeviceRecord back = Defaults(again);
  ASSERT_TRUE(tov::LoadConfiguration(&back, again, dir.file("again.cfg").c_str()));
  EXPECT_EQ(back.scanInterval, rec.scanInterval);
  EXPECT_EQ(back.pointsPerScan, rec.pointsPerScan);
  EXPECT_EQ(back.scanType, rec.scanType);
  EXPECT_EQ(0, std::memcmp(back.scanTable, rec.scanTable, sizeof rec.scanTable));
}

// The largest interval that still fits a line is kept; a sample rate beyond
// what a float holds is refused rather than converted (undefined).
TEST(ConfigurationRegressions, RealNumbersAtTheEdgesOfTheLineAndOfTheFloat) {
  TempDir dir;
  const std::string fits = "1" + std::string(70, '0') + ".5";  // 71 digits + ".500000"
  dir.write("tovset.cfg", "1\n1024\n0\n0\n" + fits +
                              "\n6\n1\n1\n0\n0\n0\n0\n0\n0\n0\n0\n0\n3\n1\n2\n1\n"
                              "1e39\n");
  int32_t averaging = 1;
  DeviceRecord rec = Defaults(averaging);
  ASSERT_TRUE(tov::LoadConfiguration(&rec, averaging, dir.file("tovset.cfg").c_str()));
  EXPECT_DOUBLE_EQ(rec.scanInterval, 1e70);
  EXPECT_EQ(rec.sampleRate, 10.0f);
}

}  // namespace
