// Binding the driver: the load failure, the first missing export with its
// exact text, and a complete library.
#include "binding.h"

#include <gtest/gtest.h>

#include <string>

#include "program.h"
#include "screen_model.h"

namespace tov {
namespace {

using test::ScreenModel;

std::string Driver(const char* name) {
  return std::string(TOV_TEST_DRIVER_DIR) + "/lib" + name + ".so";
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    screen().reset();
    driver = DriverExports{};
  }
  void TearDown() override {
    if (driverModule) UnloadDriver();
    driver = DriverExports{};
  }
  ScreenModel& screen() { return ScreenModel::instance(); }
};

TEST_F(Binding, MissingLibraryShowsTheLoadError) {
  EXPECT_FALSE(LoadDriver(Driver("tovdrv_not_there").c_str()));
  EXPECT_EQ(driverModule, nullptr);
  ASSERT_EQ(screen().boxes().size(), 1u);
  EXPECT_EQ(screen().boxes()[0].caption, "-- error");
  EXPECT_EQ(screen().boxes()[0].text, "Error loading tovdrv.DLL");
}

TEST_F(Binding, CompleteLibraryBindsAllExportsAndUnloads) {
  ASSERT_TRUE(LoadDriver(Driver("tovdrv_complete").c_str()));
  ASSERT_TRUE(BindDriver());
  EXPECT_TRUE(screen().boxes().empty());
  const auto* slots = reinterpret_cast<void* const*>(&driver);
  static_assert(sizeof(DriverExports) == kBoundExportCount * sizeof(void*));
  for (int i = 0; i < kBoundExportCount; ++i) EXPECT_NE(slots[i], nullptr) << i;
  EXPECT_TRUE(UnloadDriver());
  EXPECT_EQ(driverModule, nullptr);
}

struct MissingCase {
  const char* library;
  const char* text;
};

class MissingExport : public Binding, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingExport, ReportsTheFirstMissingExportAndReleasesTheLibrary) {
  ASSERT_TRUE(LoadDriver(Driver(GetParam().library).c_str()));
  EXPECT_FALSE(BindDriver());
  EXPECT_EQ(driverModule, nullptr);
  ASSERT_EQ(screen().boxes().size(), 1u);
  EXPECT_EQ(screen().boxes()[0].caption, "IMPORTANT NOTICE ---");
  EXPECT_EQ(screen().boxes()[0].text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, MissingExport,
    ::testing::Values(
        MissingCase{"tovdrv_no_comhandle",
                    "failed to find function:\n     GetComHandle(...)\nin tovdrv.DLL\n\nEXITING"},
        MissingCase{
            "tovdrv_no_bytes",
            "failed to find function:\n     GetNumBytesInBuffer()\nin tovdrv.DLL\n\nEXITING"},
        // Lacks RemoteAvg, SysCal and CheckScanTime: only the first in order is named.
        MissingCase{"tovdrv_no_several",
                    "failed to find function:\n     RemoteAvg(...)\nin tovdrv.DLL\n\nEXITING"}));

}  // namespace
}  // namespace tov
