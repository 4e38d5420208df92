// The program's screens fed any keys and typed lines: the main menu, polled
// mode with its command prompts, and the scanning configuration with its
// entries and scan runs, on the screen model with a recording fake driver.
// The first input byte chooses which driver calls fail. The script running
// out ends a run (ScriptExhausted).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "entry.h"
#include "main_menu.h"
#include "number_text.h"
#include "program.h"
#include "screen_model.h"

namespace {

using tov::test::FakeDriver;
using tov::test::ScreenModel;
using tov::test::ScriptExhausted;
using tov::test::TestDevices;

// Scan runs append to a file the operator names: keep them in a private
// directory, and keep typed names inside it.
void enterScratchDirectory() {
  static bool entered = [] {
    char pattern[] = "/tmp/k73-screens-fuzz.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made || chdir(made) != 0) std::abort();
    return true;
  }();
  (void)entered;
}

void parseAsALine(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size < 80 ? size : 80);
  line = line.c_str();  // a typed line ends at its first NUL
  int32_t integer = 0;
  double real = 0;
  tov::TwoCharacterValue(line.c_str());
  if (tov::ParseInteger(line.c_str(), &integer)) tov::Low16(integer);
  tov::ParseReal(line.c_str(), &real);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  enterScratchDirectory();
  parseAsALine(data, size);
  if (size == 0) return 0;

  ScreenModel& screen = ScreenModel::instance();
  screen.reset();
  screen.maxIdlePolls = 64;  // a loop waiting for a key gives up soon
  TestDevices devices;
  FakeDriver fake;
  const uint8_t failures = data[0];
  if (failures & 1) fake.SignOn = [](DeviceRecord*) -> int16_t { return 0; };
  if (failures & 2)
    fake.GetConversion = [](DeviceRecord* r) -> int16_t {
      r->lastError = 2;
      return 0;
    };
  if (failures & 4)
    fake.GetOneScan = [](DeviceRecord* r) -> int16_t {
      r->lastError = 10;
      return 0;
    };
  if (failures & 8) fake.GetNumScansInBuffer = [](DeviceRecord*) -> int32_t { return -1; };
  if (failures & 16)
    fake.CheckScanTime = [](DeviceRecord*, double*, double*) -> int16_t { return 0; };
  if (failures & 32)
    fake.Counts2Volts = [](DeviceRecord* r) -> double { return r->millivolts = 1e300; };
  fake.install();
  for (size_t i = 1; i < size; ++i) {
    const uint8_t key = data[i];
    if (key == 0xE0 && i + 1 < size) {
      screen.pushExtendedKey(data[++i]);
    } else {
      screen.pushKey(key == '/' ? '_' : key);
    }
  }
  try {
    tov::RunMainMenu();
  } catch (const ScriptExhausted&) {
  }
  return 0;
}
