// An in-process console for tests of the program's screens: an 80 x 25 cell
// grid with a cursor that wraps and scrolls like a terminal, a script of key
// presses and typed lines, and a record of message boxes. Linking this file
// replaces the real terminal backend (tov::con) in a test executable.
//
// Keys and typed lines share one input queue, as on a real keyboard: a typed
// line is its characters followed by Enter (13). getKey takes one code;
// readLine takes characters up to Enter, echoing them on the grid.
//
// When the script runs out, getKey throws ScriptExhausted (so a test can stop
// a screen loop at a known point) unless endOfInputIsEsc is set, in which
// case it answers Esc like the real terminal at end of input. KeyReady polls
// with an empty script also throw after a generous number of polls, so a loop
// that waits for a key that never comes fails instead of hanging.
#ifndef TOV_TESTS_SUPPORT_SCREEN_MODEL_H
#define TOV_TESTS_SUPPORT_SCREEN_MODEL_H

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "program.h"
#include "tovdrv.h"
#include "tovdrv_exports.h"

namespace tov::test {

struct ScriptExhausted : std::runtime_error {
  ScriptExhausted() : std::runtime_error("the key script ran out") {}
};

struct MessageBoxShown {
  std::string caption;
  std::string text;
};

class ScreenModel {
 public:
  static constexpr int kColumns = 80;
  static constexpr int kRows = 25;
  static constexpr int kEnter = 13;
  static constexpr int kEsc = 27;

  // The one model the tov::con functions draw on.
  static ScreenModel& instance();

  // Blank grid, cursor at (0, 0) and visible, empty script, no boxes.
  void reset();

  // --- The script -------------------------------------------------------
  void pushKey(int code);
  void pushKeys(const std::string& keys);  // one key per character
  void typeLine(const std::string& text);  // the characters, then Enter
  // Arrow and editing keys as the program receives them: 224, scan code.
  void pushExtendedKey(int scanCode);
  // The next key pushed becomes visible to keyWaiting only after this many
  // polls that found nothing (a key pressed while the program is measuring).
  void delayNextKey(int polls);
  size_t keysLeft() const { return input_.size() - next_; }
  bool endOfInputIsEsc = false;
  int maxIdlePolls = 100000;

  // --- The grid ---------------------------------------------------------
  char cell(int column, int row) const;
  std::string row(int row) const;  // exactly 80 characters
  std::string text(int column, int row, int length) const;
  // Text at (column, row) equals expected (compared over expected's length).
  bool textAt(int column, int row, const std::string& expected) const;
  bool contains(const std::string& text) const;  // anywhere on one row
  std::string screen() const;  // 25 rows, trailing blanks trimmed, '\n' after each
  bool blank() const;

  int cursorColumn() const { return column_; }
  int cursorRow() const { return row_; }
  bool cursorVisible() const { return cursorVisible_; }

  // Everything written since the last reset, in order (also after scrolling).
  const std::string& transcript() const { return transcript_; }
  int clears() const { return clears_; }
  const std::vector<MessageBoxShown>& boxes() const { return boxes_; }

  // Virtual time. A wait on the keyboard alone ends at its deadline when no
  // key is waiting; a wait that also watches a port finds a byte there after
  // 1 ms (the fake driver says whether a whole scan is in).
  int64_t clockMs = 0;

  // Called whenever the program polls for or waits on a key, before the key is
  // taken; lets a test change the bench (e.g. a converter's input) mid-run.
  std::function<void()> onKeyPoll;

  // --- The backend (used by tov::con) -----------------------------------
  void clearCells();
  void moveCursor(int column, int row);
  void showCursor(bool visible) { cursorVisible_ = visible; }
  void write(const char* text, size_t length);
  int getKey(bool echo);
  bool keyWaiting();
  bool waitForKey(bool watchPort, int64_t deadlineMs);  // true: a key is waiting
  bool readLine(char* buf, int size);
  void messageBox(const char* caption, const char* text);

 private:
  void putChar(char c);
  void newLine();

  char cells_[kRows][kColumns];
  int column_ = 0;
  int row_ = 0;
  bool pendingWrap_ = false;  // the last column was written; wrap on the next character
  bool cursorVisible_ = true;
  std::vector<int> input_;
  size_t next_ = 0;
  std::map<size_t, int> delays_;  // polls to sit out, by position in the script
  int idlePolls_ = 0;
  std::string transcript_;
  int clears_ = 0;
  std::vector<MessageBoxShown> boxes_;
};

// The plain function type of an export, R(A...), from its pointer type.
template <typename Pointer>
struct ExportSignatureOf;
template <typename R, typename... A>
struct ExportSignatureOf<R(TOVAPI*)(A...)> {
  using type = R(A...);
};
template <typename Pointer>
using ExportSignature = typename ExportSignatureOf<Pointer>::type;

// A driver made of recording fakes. install() fills tov::driver with
// trampolines that log each call and then run the matching behaviour below,
// which a test may replace. Defaults: every call succeeds (1), conversions
// leave counts 0 and millivolts 0, GetNumScansInBuffer reports 1 scan.
struct FakeDriver {
  struct Call {
    std::string name;
    DeviceRecord* record;
    int64_t argument;  // SetDigOut value, RemFromBuffer count; else 0
  };
  std::vector<Call> calls;

  // One behaviour per export, named and typed like it.
#define TOV_FAKE_BEHAVIOUR(name) std::function<ExportSignature<decltype(&::name)>> name;
  TOVDRV_EXPORTS(TOV_FAKE_BEHAVIOUR, TOVDRV_SKIP)
#undef TOV_FAKE_BEHAVIOUR

  FakeDriver();   // the default behaviours
  ~FakeDriver();  // uninstalls if installed
  void install();

  int count(const std::string& name) const;
  std::vector<std::string> names() const;  // the calls' names in order
};

// Four device records as start-up leaves them without a configuration file
// (deviceIndex = number, defaults, counterPreset -1), installed in a fresh
// tov::program with currentDevice 0.
struct TestDevices {
  DeviceRecord records[kDeviceCount];
  TestDevices();
  DeviceRecord& operator[](int i) { return records[i]; }
};

}  // namespace tov::test

#endif
