#include "screen_model.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "console_platform.h"
#include "settings_file.h"

namespace tov::test {

// ---------------------------------------------------------------- the grid

ScreenModel& ScreenModel::instance() {
  static ScreenModel model;
  return model;
}

void ScreenModel::reset() {
  grid_ = con::CellGrid();
  clockMs = 0;
  interruptSignal = 0;
  cursorVisible_ = true;
  input_.clear();
  next_ = 0;
  delays_.clear();
  idlePolls_ = 0;
  transcript_.clear();
  clears_ = 0;
  boxes_.clear();
  endOfInputIsEsc = false;
  maxIdlePolls = 100000;
  onKeyPoll = nullptr;
}

char ScreenModel::cell(int column, int row) const {
  if (column < 0 || column >= kColumns || row < 0 || row >= kRows) return '\0';
  return grid_.cell(column, row);
}

std::string ScreenModel::row(int row) const {
  if (row < 0 || row >= kRows) return std::string();
  return grid_.row(row);
}

std::string ScreenModel::text(int column, int row, int length) const {
  std::string out;
  for (int i = 0; i < length && column + i < kColumns; ++i) out += cell(column + i, row);
  return out;
}

bool ScreenModel::textAt(int column, int row, const std::string& expected) const {
  return text(column, row, static_cast<int>(expected.size())) == expected;
}

bool ScreenModel::contains(const std::string& needle) const {
  for (int r = 0; r < kRows; ++r)
    if (row(r).find(needle) != std::string::npos) return true;
  return false;
}

std::string ScreenModel::screen() const {
  std::string out;
  for (int r = 0; r < kRows; ++r) {
    std::string line = row(r);
    line.erase(line.find_last_not_of(' ') + 1);
    out += line + '\n';
  }
  return out;
}

bool ScreenModel::blank() const {
  for (int r = 0; r < kRows; ++r)
    if (row(r).find_first_not_of(' ') != std::string::npos) return false;
  return true;
}

void ScreenModel::clearCells() {
  grid_.clear();
  ++clears_;
}

void ScreenModel::moveCursor(int column, int row) {
  grid_.moveCursor(column, row);
}

void ScreenModel::write(const char* text, size_t length) {
  transcript_.append(text, length);
  grid_.write(text, length);
}

void ScreenModel::messageBox(const char* caption, const char* text) {
  boxes_.push_back({caption, text});
}

// -------------------------------------------------------------- the script

void ScreenModel::pushKey(int code) {
  input_.push_back(code);
}

void ScreenModel::pushKeys(const std::string& keys) {
  for (unsigned char c : keys) input_.push_back(c);
}

void ScreenModel::typeLine(const std::string& text) {
  pushKeys(text);
  input_.push_back(kEnter);
}

void ScreenModel::pushExtendedKey(int scanCode) {
  input_.push_back(224);
  input_.push_back(scanCode);
}

void ScreenModel::delayNextKey(int polls) {
  delays_[input_.size()] = polls;
}

bool ScreenModel::keyWaiting() {
  if (onKeyPoll) onKeyPoll();
  if (next_ < input_.size()) {
    auto delay = delays_.find(next_);
    if (delay != delays_.end() && delay->second > 0) {
      --delay->second;
      return false;
    }
    idlePolls_ = 0;
    return true;
  }
  if (endOfInputIsEsc) return true;
  if (++idlePolls_ > maxIdlePolls) throw ScriptExhausted();
  return false;
}

bool ScreenModel::waitForKey(bool watchPort, int64_t deadlineMs) {
  if (keyWaiting()) return true;
  clockMs = watchPort ? clockMs + 1 : std::max(clockMs, deadlineMs);
  return false;
}

int ScreenModel::getKey(bool echo) {
  if (onKeyPoll) onKeyPoll();
  int key;
  if (next_ < input_.size()) {
    key = input_[next_++];
  } else if (endOfInputIsEsc) {
    key = kEsc;
  } else {
    throw ScriptExhausted();
  }
  if (echo && key >= 32 && key < 127) {
    char c = static_cast<char>(key);
    write(&c, 1);
  }
  return key;
}

bool ScreenModel::readLine(char* buf, int size) {
  if (onKeyPoll) onKeyPoll();
  if (next_ >= input_.size()) return false;  // end of input: buffer unchanged
  std::string line;
  bool ended = false;
  while (next_ < input_.size()) {
    int key = input_[next_++];
    if (key == kEnter || key == '\n') {
      ended = true;
      break;
    }
    if (key == '\b' || key == 127) {
      if (!line.empty()) line.pop_back();
      continue;
    }
    line += static_cast<char>(key);
  }
  write(line.data(), line.size());
  if (ended) write("\n", 1);
  // At most size - 1 characters; the rest of an over-long line is dropped.
  if (line.size() > static_cast<size_t>(size - 1)) line.resize(size - 1);
  if (ended && line.size() < static_cast<size_t>(size - 1)) line += '\n';
  std::memcpy(buf, line.c_str(), line.size() + 1);
  return true;
}

// -------------------------------------------------------------- fake driver

namespace {

FakeDriver* installed = nullptr;

FakeDriver& fake() {
  if (!installed) throw std::logic_error("a driver export was called with no FakeDriver installed");
  return *installed;
}

// Logs a call with its first argument after the record when that is a
// number (SetDigOut's value, RemFromBuffer's count), else 0.
void log(const char* name, DeviceRecord* rec) {
  fake().calls.push_back({name, rec, 0});
}
template <typename First, typename... Rest>
void log(const char* name, DeviceRecord* rec, First first, Rest...) {
  int64_t argument = 0;
  if constexpr (std::is_integral_v<First>) argument = first;
  fake().calls.push_back({name, rec, argument});
}

// Every call succeeds (1); a call with nothing to return does nothing.
template <typename R, typename... A>
void succeed(std::function<R(A...)>& behaviour) {
  behaviour = [](A...) {
    if constexpr (!std::is_void_v<R>) return R{1};
  };
}

}  // namespace

FakeDriver::FakeDriver() {
#define TOV_FAKE_SUCCEEDS(name) succeed(name);
  TOVDRV_EXPORTS(TOV_FAKE_SUCCEEDS, TOVDRV_SKIP)
#undef TOV_FAKE_SUCCEEDS
  GetNumBytesInBuffer = [](DeviceRecord*) { return uint32_t{0}; };
  Counts2Volts = [](DeviceRecord* rec) { return rec->millivolts; };
  GetComHandle = [](DeviceRecord*, TovHandle* handle) { *handle = 3; };
}

FakeDriver::~FakeDriver() {
  if (installed == this) {
    installed = nullptr;
    tov::driver = DriverExports{};
  }
}

// One trampoline per export: log the call, then run the test's behaviour.
void FakeDriver::install() {
  installed = this;
  DriverExports& d = tov::driver;
#define TOV_FAKE_EXPORT(name)                    \
  d.name = [](DeviceRecord* rec, auto... rest) { \
    log(#name, rec, rest...);                    \
    return fake().name(rec, rest...);            \
  };
  TOVDRV_EXPORTS(TOV_FAKE_EXPORT, TOVDRV_SKIP)
#undef TOV_FAKE_EXPORT
}

int FakeDriver::count(const std::string& name) const {
  int n = 0;
  for (const Call& c : calls) n += c.name == name;
  return n;
}

std::vector<std::string> FakeDriver::names() const {
  std::vector<std::string> out;
  for (const Call& c : calls) out.push_back(c.name);
  return out;
}

// ----------------------------------------------------------------- devices

TestDevices::TestDevices() {
  tov::program = ProgramState{};
  for (int i = 0; i < kDeviceCount; ++i) {
    DeviceRecord& rec = records[i];
    std::memset(&rec, 0, sizeof rec);
    int32_t averaging = 1;
    SetConfigurationDefaults(&rec, averaging);
    rec.deviceIndex = static_cast<int16_t>(i);
    rec.counterPreset = -1;
    tov::program.deviceRecords[i] = &rec;
  }
  tov::program.currentDevice = 0;
}

}  // namespace tov::test

// ------------------------------------------------------ the tov::con backend

namespace tov::con {

using tov::test::ScreenModel;

bool init(bool* outputOk, bool* inputOk) {
  if (outputOk) *outputOk = true;
  if (inputOk) *inputOk = true;
  return true;
}
void restore() {}
int interruptSignal() {
  return ScreenModel::instance().interruptSignal;
}
void clearCells() {
  ScreenModel::instance().clearCells();
}
void moveCursor(int column, int row) {
  ScreenModel::instance().moveCursor(column, row);
}
void showCursor(bool visible) {
  ScreenModel::instance().showCursor(visible);
}
void write(const char* text, size_t length) {
  ScreenModel::instance().write(text, length);
}
void beginUpdate() {}
void endUpdate() {}
int getKey(bool echo) {
  return ScreenModel::instance().getKey(echo);
}
bool keyWaiting() {
  return ScreenModel::instance().keyWaiting();
}
bool inputEnded() {
  ScreenModel& screen = ScreenModel::instance();
  return screen.endOfInputIsEsc && screen.keysLeft() == 0;
}
int64_t nowMs() {
  return ScreenModel::instance().clockMs;
}
Wake waitForKeyOrPort(TovHandle port, int64_t deadlineMs) {
  ScreenModel& screen = ScreenModel::instance();
  const bool watchPort = port != TOV_INVALID_HANDLE;
  if (screen.waitForKey(watchPort, deadlineMs)) return Wake::Key;
  return watchPort ? Wake::Port : Wake::Deadline;
}
bool readLine(char* buf, int size) {
  return ScreenModel::instance().readLine(buf, size);
}
void messageBox(const char* caption, const char* text) {
  ScreenModel::instance().messageBox(caption, text);
}
void noticeBox(const char* caption, const char* text) {
  ScreenModel::instance().messageBox(caption, text);
}

}  // namespace tov::con
