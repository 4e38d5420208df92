// The settings file: what is written, what is read back, and what a damaged
// file can and cannot do to a record.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings_file.h"
#include "tmux_session.h"

namespace tov {
namespace {

using test::linesOf;
using test::TempDir;

DeviceRecord DefaultRecord() {
  DeviceRecord rec;
  std::memset(&rec, 0, sizeof rec);
  int32_t averaging = 1;
  SetConfigurationDefaults(&rec, averaging);
  return rec;
}

// Twenty-six lines with every field off its default.
std::string EditedFile() {
  return "7\n-5\n4\n2\n0.250000\n12\n8\n2\n18\n0\n0\n0\n0\n255\n35\n2\n3\n2\n0\n1\n"
         "16\n50.000000\n1\n2\n3\n9\n";
}

TEST(ConfigurationFile, SavesTheRecordInTableOrderWithItsFormats) {
  TempDir dir;
  DeviceRecord rec = DefaultRecord();
  rec.inQueueSize = 4294967291u;  // typed as -5 at the prompt
  rec.modeLow = 1;
  rec.modeMid = 2;
  rec.modeHigh = 3;
  ASSERT_TRUE(SaveConfiguration(&rec, 1, dir.file("tovset.cfg").c_str()));
  std::vector<std::string> lines = linesOf(dir.read("tovset.cfg"));
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines[1], "-5");
  EXPECT_EQ(lines[2], "0");
  EXPECT_EQ(lines[4], "2.000000");
  EXPECT_EQ(lines[7], "1");
  EXPECT_EQ(lines[17], "3");
  EXPECT_EQ(lines[21], "10.000000");
  EXPECT_EQ(lines[22], "1");
  EXPECT_EQ(lines[25], "1");
}

TEST(ConfigurationFile, ReadsBackEveryFieldItWrote) {
  TempDir dir;
  const std::string path = dir.file("tovset.cfg");
  dir.write("tovset.cfg", EditedFile());
  DeviceRecord loaded = DefaultRecord();
  int32_t averaging = 1;
  ASSERT_TRUE(LoadConfiguration(&loaded, averaging, path.c_str()));
  ASSERT_TRUE(SaveConfiguration(&loaded, averaging, path.c_str()));
  EXPECT_EQ(dir.read("tovset.cfg"), EditedFile());

  EXPECT_EQ(loaded.outQueueSize, 7u);
  EXPECT_EQ(loaded.inQueueSize, 4294967291u);
  EXPECT_EQ(loaded.baudIndex, 4);
  EXPECT_EQ(loaded.deviceIndex, 2);
  EXPECT_DOUBLE_EQ(loaded.scanInterval, 0.25);
  EXPECT_EQ(loaded.scanTable[0], 18);
  EXPECT_EQ(loaded.scanTable[5], 255);
  EXPECT_EQ(loaded.singleChanCode, 35);
  EXPECT_EQ(loaded.bytesPerConversion, 2);
  EXPECT_EQ(loaded.bipolar, 0);
  EXPECT_EQ(loaded.gain, 16);
  EXPECT_FLOAT_EQ(loaded.sampleRate, 50.0f);
  EXPECT_EQ(loaded.modeHigh, 3);
  EXPECT_EQ(averaging, 9);
}

TEST(ConfigurationFile, MissingFileGivesTheDefaultsAndLeavesTheModeWord) {
  TempDir dir;
  DeviceRecord rec;
  std::memset(&rec, 0x55, sizeof rec);
  rec.modeLow = 11;
  int32_t averaging = 7;
  EXPECT_FALSE(LoadConfiguration(&rec, averaging, dir.file("tovset.cfg").c_str()));
  EXPECT_EQ(averaging, 1);
  EXPECT_EQ(rec.outQueueSize, 1u);
  EXPECT_EQ(rec.inQueueSize, 1024u);
  EXPECT_EQ(rec.baudIndex, 0);
  EXPECT_EQ(rec.pointsPerScan, 6);
  EXPECT_EQ(rec.scanType, 1);
  for (int16_t entry : rec.scanTable) EXPECT_EQ(entry, 0);
  EXPECT_EQ(rec.bytesPerConversion, 3);
  EXPECT_EQ(rec.filter, 2);
  EXPECT_FLOAT_EQ(rec.sampleRate, 10.0f);
  EXPECT_DOUBLE_EQ(rec.scanInterval, 2.0);
  EXPECT_EQ(rec.modeLow, 11);
}

TEST(ConfigurationFile, ShortFileLeavesTheFieldsItDoesNotReach) {
  TempDir dir;
  dir.write("tovset.cfg", "5\n2048\n3\n");
  DeviceRecord rec = DefaultRecord();
  int32_t averaging = 4;
  ASSERT_TRUE(LoadConfiguration(&rec, averaging, dir.file("tovset.cfg").c_str()));
  EXPECT_EQ(rec.outQueueSize, 5u);
  EXPECT_EQ(rec.inQueueSize, 2048u);
  EXPECT_EQ(rec.baudIndex, 3);
  // Not the last value repeated into every missing line.
  EXPECT_EQ(rec.deviceIndex, 0);
  EXPECT_EQ(rec.pointsPerScan, 6);
  EXPECT_EQ(rec.gain, 1);
  EXPECT_EQ(averaging, 4);
}

// Every channel skipped gives a scan list of no points, and the program
// saves it so: it reads back as it was written.
TEST(ConfigurationFile, NoPointsPerScanReadsBackAsNone) {
  TempDir dir;
  const std::string path = dir.file("tovset.cfg");
  DeviceRecord saved = DefaultRecord();
  saved.pointsPerScan = 0;
  ASSERT_TRUE(SaveConfiguration(&saved, 1, path.c_str()));
  DeviceRecord loaded = DefaultRecord();
  int32_t averaging = 1;
  ASSERT_TRUE(LoadConfiguration(&loaded, averaging, path.c_str()));
  EXPECT_EQ(loaded.pointsPerScan, 0);
}

TEST(ConfigurationFile, UnusableOrGarbageLinesKeepThePreviousValues) {
  TempDir dir;
  // baud index 9, text, 97 points, gain 3, averaging 0, a sample rate of 0,
  // a word length of 5 and a 16-bit field given a 32-bit value.
  dir.write("tovset.cfg",
            "1\nabc\n9\n0\n-1.5\n97\n0\n7\n0\n0\n0\n0\n0\n0\n0\n12\n40\n5\n65537\n3\n3\n0\n"
            "0\n0\n0\n0\n");
  DeviceRecord rec = DefaultRecord();
  int32_t averaging = 1;
  ASSERT_TRUE(LoadConfiguration(&rec, averaging, dir.file("tovset.cfg").c_str()));
  EXPECT_EQ(rec.inQueueSize, 1024u);
  EXPECT_EQ(rec.baudIndex, 0);
  EXPECT_DOUBLE_EQ(rec.scanInterval, 2.0);
  EXPECT_EQ(rec.pointsPerScan, 6);
  EXPECT_EQ(rec.remoteAvg, 1u);
  EXPECT_EQ(rec.scanType, 1);
  EXPECT_EQ(rec.channel, 0);
  EXPECT_EQ(rec.subChannel, 0);
  EXPECT_EQ(rec.bytesPerConversion, 3);
  EXPECT_EQ(rec.bipolar, 1);  // 65537 kept at sixteen bits
  EXPECT_EQ(rec.filter, 2);
  EXPECT_EQ(rec.gain, 1);
  EXPECT_FLOAT_EQ(rec.sampleRate, 10.0f);
  EXPECT_EQ(averaging, 1);

  dir.write("tovset.cfg", std::string(25, '\n') + "-3\n");
  ASSERT_TRUE(LoadConfiguration(&rec, averaging, dir.file("tovset.cfg").c_str()));
  EXPECT_EQ(averaging, 1);
}

TEST(ConfigurationFile, UnwritableFileReportsFailure) {
  TempDir dir;
  DeviceRecord rec = DefaultRecord();
  EXPECT_FALSE(SaveConfiguration(&rec, 1, (dir.path() + "/no/such/dir/tovset.cfg").c_str()));
}

// A disk that fills part-way through the save, as a file-size limit makes
// it: the old file stays whole, and nothing is left beside it.
TEST(ConfigurationFile, AFullDiskLeavesTheOldFileWhole) {
  TempDir dir;
  dir.write("tovset.cfg", EditedFile());
  DeviceRecord rec = DefaultRecord();
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit full = {40, limit.rlim_max};
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);  // EFBIG rather than the signal
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  const bool saved = SaveConfiguration(&rec, 1, dir.file("tovset.cfg").c_str());
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous);

  EXPECT_FALSE(saved);
  EXPECT_EQ(dir.read("tovset.cfg"), EditedFile());
  EXPECT_FALSE(std::filesystem::exists(dir.file("tovset.cfg.tmp")));
}

}  // namespace
}  // namespace tov
