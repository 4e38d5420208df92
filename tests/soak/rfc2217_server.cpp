#include "rfc2217_server.h"

#include <algorithm>

#include "remote_posix.h"

namespace k73soak {

namespace {

constexpr int64_t kNetworkUs = 300;  // from one end of the connection to the other
constexpr int64_t kLongestFaultUs = 60'000'000;
constexpr uint32_t kOpenBaud = 300;
constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254,
                  NOP = 241, kBinary = 0, kComPort = 44, kReply = 100, kSetBaudRate = 1,
                  kSetControl = 5, kPurgeData = 12, kNotifyModemState = 107;

bool theServers(FaultKind kind) {
  return kind == FaultKind::ServerGone || kind == FaultKind::SlowRateAnswer ||
         kind == FaultKind::HalfTelnet || kind == FaultKind::Unplugged;
}

}  // namespace

Rfc2217Server::Rfc2217Server(k73::VirtualBench& bench, FaultLine& line,
                             const std::vector<Fault>& faults, uint64_t seed)
    : bench_(bench), line_(line), rng_(seed ^ 0x2217) {
  for (const Fault& f : faults) {
    if (!theServers(f.kind)) continue;
    faults_.push_back(f);
    if (f.kind == FaultKind::ServerGone || f.kind == FaultKind::Unplugged)
      timers_.emplace(f.fromUs, [this](int64_t t) { hangUp(t); });
    if (f.kind == FaultKind::HalfTelnet) splitCommands(f);
    // A slow server meets at least one rate: the first one it is asked for
    // from the fault's start on, however long after its end that comes.
    if (f.kind == FaultKind::SlowRateAnswer)
      timers_.emplace(f.fromUs, [this](int64_t) { slowRateDue_ = true; });
  }
}

bool Rfc2217Server::active(FaultKind kind, int64_t tUs) const {
  auto it = std::upper_bound(faults_.begin(), faults_.end(), tUs,
                             [](int64_t t, const Fault& f) { return t < f.fromUs; });
  while (it != faults_.begin()) {
    --it;
    if (it->fromUs < tUs - kLongestFaultUs) break;
    if (it->kind == kind && tUs < it->toUs) return true;
  }
  return false;
}

// While the fault lasts, the server's unsolicited notices come in pieces;
// when it ends, the server may die in the middle of a command.
void Rfc2217Server::splitCommands(const Fault& f) {
  std::uniform_int_distribution<int64_t> spacing(50'000, 700'000);
  for (int64_t t = f.fromUs + spacing(rng_); t < f.toUs; t += spacing(rng_)) {
    timers_.emplace(t, [this](int64_t at) {
      send({IAC, SB, kComPort, kNotifyModemState, uint8_t(rng_()), IAC, SE}, at);
      send({IAC, NOP}, at);
    });
  }
  if (rng_() % 2 == 0) return;
  timers_.emplace(f.toUs, [this](int64_t at) {
    if (!connection_ || closedByServer_) return;
    const std::vector<uint8_t> whole = {IAC,  SB,  kComPort, kReply + kSetBaudRate, 0, 0, 0x25,
                                        0x80, IAC, SE};
    const size_t cut = 1 + rng_() % (whole.size() - 1);
    for (size_t i = 0; i < cut; ++i) {
      lastOutUs_ = std::max(lastOutUs_, at + kNetworkUs);
      out_.push_back({lastOutUs_, whole[i]});
    }
    ++tally_.cutOff;
    hangUp(at);
  });
}

int Rfc2217Server::connect() {
  const int64_t now = bench_.nowUs();
  runUntil(now);
  if (connection_) disconnect(connection_);  // a stale one the client never closed
  if (active(FaultKind::ServerGone, now)) {
    ++tally_.refused;
    return 0;
  }
  ++tally_.connections;
  connection_ = nextConnection_++;
  closedByServer_ = false;
  out_.clear();
  parse_ = Parse::Data;
  baud_ = kOpenBaud;
  if (active(FaultKind::Unplugged, now)) {
    closedByServer_ = true;  // the device cannot be opened: hung up at once
    ++tally_.hungUp;
  } else {
    line_.hostOpened(now, baud_);
  }
  return connection_;
}

void Rfc2217Server::hangUp(int64_t tUs) {
  if (!connection_ || closedByServer_) return;
  closedByServer_ = true;
  ++tally_.hungUp;
  line_.hostClosed(tUs);
}

void Rfc2217Server::disconnect(int connection) {
  if (connection != connection_) return;
  if (!closedByServer_) line_.hostClosed(bench_.nowUs());
  connection_ = 0;
  out_.clear();
}

long Rfc2217Server::fromClient(int connection, const uint8_t* bytes, size_t count) {
  const int64_t now = bench_.nowUs();
  runUntil(now);
  if (connection != connection_ || closedByServer_) return -1;
  for (size_t i = 0; i < count; ++i) clientByte(bytes[i], now);
  return long(count);
}

long Rfc2217Server::toClient(int connection, uint8_t* buffer, size_t size) {
  const int64_t now = bench_.nowUs();
  runUntil(now);
  if (connection != connection_) return -1;
  size_t n = 0;
  for (; n < size && !out_.empty() && out_.front().tUs <= now; ++n) {
    buffer[n] = out_.front().byte;
    out_.pop_front();
  }
  if (n == 0 && closedByServer_ && out_.empty()) return -1;
  return long(n);
}

bool Rfc2217Server::readable(int connection) {
  const int64_t now = bench_.nowUs();
  runUntil(now);
  if (connection != connection_) return true;
  return out_.empty() ? closedByServer_ : out_.front().tUs <= now;
}

void Rfc2217Server::waitReadable(int connection, int64_t deadlineUs) {
  while (!readable(connection) && bench_.nowUs() < deadlineUs) {
    int64_t next = nextEventUs();
    if (!out_.empty()) next = std::min(next, out_.front().tUs);
    bench_.advanceToUs(std::min(std::max(next, bench_.nowUs() + 1), deadlineUs));
  }
}

int64_t Rfc2217Server::nextEventUs() {
  const int64_t timer = timers_.empty() ? k73::kNever : timers_.begin()->first;
  return std::min(timer, line_.nextByteTime());
}

void Rfc2217Server::runUntil(int64_t tUs) {
  for (;;) {
    const int64_t device = line_.nextByteTime();
    const int64_t timer = timers_.empty() ? k73::kNever : timers_.begin()->first;
    if (std::min(device, timer) > tUs) return;
    if (timer <= device) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action(timer);
    } else {
      fromDevice(device);
    }
  }
}

void Rfc2217Server::fromDevice(int64_t tUs) {
  uint32_t deviceBaud = 0;
  uint8_t byte = line_.takeByte(&deviceBaud);
  if (!connection_ || closedByServer_) return;  // the device is closed: the byte is lost
  const k73::VirtualBench::LineState state = line_.stateAt(tUs);
  if (state.peerBytesLost || state.gone) return;
  if (deviceBaud != 0 && deviceBaud != baud_) byte = 0xFF;  // the two ends at different rates
  if (byte == IAC)
    send({IAC, IAC}, tUs);
  else
    send({byte}, tUs);
}

void Rfc2217Server::send(const std::vector<uint8_t>& unit, int64_t tUs) {
  if (!connection_ || closedByServer_) return;
  lastOutUs_ = std::max(lastOutUs_, tUs + kNetworkUs);
  size_t cut = unit.size();
  if (unit.size() > 1 && active(FaultKind::HalfTelnet, tUs)) {
    cut = 1 + rng_() % (unit.size() - 1);
    ++tally_.splitCommands;
  }
  for (size_t i = 0; i < unit.size(); ++i) {
    // The rest of a split command comes with a later read, a little after
    // it left: the server resumes, and what queued behind it follows at once.
    if (i == cut)
      lastOutUs_ =
          std::max(lastOutUs_ + 1,
                   tUs + kNetworkUs + std::uniform_int_distribution<int64_t>(1'000, 30'000)(rng_));
    out_.push_back({lastOutUs_, unit[i]});
  }
}

void Rfc2217Server::toDevice(uint8_t byte, int64_t tUs) {
  const int64_t start = std::max(tUs + kNetworkUs, lineFreeUs_);
  lineFreeUs_ = start + 10'000'000 / baud_;
  line_.hostByte(byte, lineFreeUs_, baud_);
}

void Rfc2217Server::clientByte(uint8_t byte, int64_t tUs) {
  switch (parse_) {
    case Parse::Data:
      if (byte == IAC)
        parse_ = Parse::Iac;
      else
        toDevice(byte, tUs);
      break;
    case Parse::Iac:
      parse_ = Parse::Data;
      if (byte == IAC) {
        toDevice(byte, tUs);
      } else if (byte >= WILL && byte <= DONT) {
        verb_ = byte;
        parse_ = Parse::Option;
      } else if (byte == SB) {
        sub_.clear();
        parse_ = Parse::Sub;
      }
      break;
    case Parse::Option:
      negotiate(verb_, byte, tUs);
      parse_ = Parse::Data;
      break;
    case Parse::Sub:
      if (byte == IAC)
        parse_ = Parse::SubIac;
      else
        sub_.push_back(byte);
      break;
    case Parse::SubIac:
      if (byte == IAC) {
        sub_.push_back(byte);
        parse_ = Parse::Sub;
      } else {
        if (byte == SE) subnegotiation(tUs);
        parse_ = Parse::Data;
      }
      break;
  }
}

void Rfc2217Server::negotiate(uint8_t verb, uint8_t option, int64_t tUs) {
  const bool ours = option == kBinary || option == kComPort;
  if (verb == WILL) send({IAC, uint8_t(ours ? DO : DONT), option}, tUs);
  if (verb == DO) send({IAC, uint8_t(option == kBinary ? WILL : WONT), option}, tUs);
}

void Rfc2217Server::subnegotiation(int64_t tUs) {
  if (sub_.size() < 2 || sub_[0] != kComPort) return;
  const uint8_t command = sub_[1];
  if (command == kSetBaudRate) {
    if (sub_.size() != 6) return;
    const uint32_t baud =
        uint32_t(sub_[2]) << 24 | uint32_t(sub_[3]) << 16 | uint32_t(sub_[4]) << 8 | sub_[5];
    if (!slowRateDue_ && !active(FaultKind::SlowRateAnswer, tUs)) {
      setRate(baud, tUs);
      return;
    }
    slowRateDue_ = false;
    // Anywhere from prompt to well past the client's patience.
    const int64_t delay = std::uniform_int_distribution<int64_t>(100'000, 6'000'000)(rng_);
    ++tally_.lateRates;
    if (delay > tov::platform::kRemoteOpenTimeoutMs * 1000) ++tally_.ratesPastDeadline;
    timers_.emplace(tUs + delay, [this, baud, connection = connection_](int64_t at) {
      if (connection == connection_ && !closedByServer_) setRate(baud, at);
    });
    return;
  }
  if (sub_.size() != 3) return;
  uint8_t value = sub_[2];
  // A query (0) for the framing is answered with 8 data bits, no parity, one stop bit.
  if (value == 0 && command >= 2 && command <= 4) value = command == 2 ? 8 : 1;
  if (command <= kSetControl || command == kPurgeData) answer(command, &value, 1, tUs);
}

void Rfc2217Server::setRate(uint32_t baud, int64_t tUs) {
  if (baud != 0) baud_ = baud;
  const uint8_t value[4] = {uint8_t(baud_ >> 24), uint8_t(baud_ >> 16), uint8_t(baud_ >> 8),
                            uint8_t(baud_)};
  answer(kSetBaudRate, value, 4, tUs);
}

void Rfc2217Server::answer(uint8_t command, const uint8_t* value, size_t count, int64_t tUs) {
  std::vector<uint8_t> unit = {IAC, SB, kComPort, uint8_t(kReply + command)};
  for (size_t i = 0; i < count; ++i) {
    unit.push_back(value[i]);
    if (value[i] == IAC) unit.push_back(IAC);
  }
  unit.push_back(IAC);
  unit.push_back(SE);
  send(unit, tUs);
}

}  // namespace k73soak
