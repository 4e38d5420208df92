#include "binding.h"

#include <string>

#include "console_platform.h"
#include "library.h"
#include "program.h"

namespace tov {

void* driverModule = nullptr;

#define TOV_EXPORT_NAME(name) #name,
const char* const kBoundExportNames[kBoundExportCount] = {
    TOVDRV_EXPORTS(TOV_EXPORT_NAME, TOVDRV_SKIP)};
#undef TOV_EXPORT_NAME

namespace {

constexpr const char* kErrorCaption = "-- error";
constexpr const char* kNoticeCaption = "IMPORTANT NOTICE ---";

// The first three exports take nothing but the record and are written with
// an empty pair of parentheses; the rest with "(...)".
std::string missingExportText(int index) {
  const char* parentheses = index < 3 ? "()" : "(...)";
  return std::string("failed to find function:\n     ") + kBoundExportNames[index] + parentheses +
         "\nin tovdrv.DLL\n\nEXITING";
}

// Stores the symbol into the table slot; false when it is missing.
template <typename Pointer>
bool bind(int index, Pointer& slot) {
  void* address = lib::symbol(driverModule, kBoundExportNames[index]);
  if (!address) return false;
  slot = reinterpret_cast<Pointer>(address);
  return true;
}

}  // namespace

bool LoadDriver(const char* fileName) {
  driverModule = lib::load(fileName ? fileName : lib::driverFileName());
  if (driverModule) return true;
  con::messageBox(kErrorCaption, "Error loading tovdrv.DLL");
  return false;
}

bool BindDriver() {
  DriverExports& d = driver;
  int missing = -1;
  int i = 0;
  // In binding order; stops at the first export that is not there.
  auto step = [&](auto& slot) {
    if (missing < 0 && !bind(i, slot)) missing = i;
    ++i;
  };
#define TOV_BIND_STEP(name) step(d.name);
  TOVDRV_EXPORTS(TOV_BIND_STEP, TOVDRV_SKIP)
#undef TOV_BIND_STEP
  if (missing < 0) return true;
  con::messageBox(kNoticeCaption, missingExportText(missing).c_str());
  lib::release(driverModule);
  driverModule = nullptr;
  return false;
}

bool UnloadDriver() {
  lib::release(driverModule);
  driverModule = nullptr;
  return true;
}

}  // namespace tov
