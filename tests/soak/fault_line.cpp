#include "fault_line.h"

#include <algorithm>
#include <cmath>

namespace k73soak {

namespace {

constexpr int64_t kLongestFaultUs = 60'000'000;
constexpr int64_t kNoiseByteUs = 1042;  // one byte time at 9600 baud

// Lengths spread evenly on a log scale: many short faults, some long ones.
int64_t lengthUs(std::mt19937_64& rng, double shortestS, double longestS) {
  const double u = std::uniform_real_distribution<double>(0, 1)(rng);
  return int64_t(shortestS * std::pow(longestS / shortestS, u) * 1e6);
}

bool onTheLine(FaultKind kind) {
  return kind < FaultKind::HostStalled;
}

bool damaging(FaultKind kind) {
  return onTheLine(kind) && kind != FaultKind::Silent && kind != FaultKind::Unplugged;
}

}  // namespace

const char* faultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Silent:
      return "converter silent";
    case FaultKind::Unplugged:
      return "unplugged and back";
    case FaultKind::Noisy:
      return "noisy line";
    case FaultKind::DroppedBytes:
      return "bytes dropped";
    case FaultKind::DoubledBytes:
      return "bytes doubled";
    case FaultKind::BadStartMarker:
      return "wrong start marker";
    case FaultKind::BadEndMarker:
      return "wrong end marker";
    case FaultKind::HostStalled:
      return "host stalled";
    case FaultKind::QueueOverflow:
      return "input queue overflow";
    case FaultKind::ServerGone:
      return "server gone";
    case FaultKind::SlowRateAnswer:
      return "rate answered slowly";
    case FaultKind::HalfTelnet:
      return "half Telnet commands";
    case FaultKind::Count:
      break;
  }
  return "?";
}

std::vector<Fault> drawSchedule(uint64_t seed, double durationS, double meanSpacingS, bool remote) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> spacing(1.0 / meanSpacingS);
  const FaultKind last = remote ? FaultKind::HalfTelnet : FaultKind::QueueOverflow;
  std::uniform_int_distribution<int> kindOf(0, int(last));
  std::vector<Fault> faults;
  // The first and the last minute are clean: the run starts on a working
  // converter, and the stop finds no backlog to leave behind.
  const double lastStartS = durationS - 120;
  for (double t = 60 + spacing(rng); t < lastStartS; t += spacing(rng)) {
    Fault f{FaultKind(kindOf(rng)), int64_t(t * 1e6), 0};
    int64_t length = 0;
    switch (f.kind) {
      case FaultKind::Silent:
        length = lengthUs(rng, 0.3, 30);
        break;
      case FaultKind::Unplugged:
        length = lengthUs(rng, 0.5, 60);
        break;
      case FaultKind::Noisy:
        length = lengthUs(rng, 0.05, 5);
        break;
      case FaultKind::DroppedBytes:
      case FaultKind::DoubledBytes:
        length = lengthUs(rng, 0.05, 5);
        f.every = std::uniform_int_distribution<int>(2, 60)(rng);
        break;
      case FaultKind::BadStartMarker:
      case FaultKind::BadEndMarker:
        length = lengthUs(rng, 0.05, 2);
        break;
      case FaultKind::HostStalled:
        length = lengthUs(rng, 0.2, 10);
        break;
      // A 1024-byte queue fills in about 11 s of four-byte scans.
      case FaultKind::QueueOverflow:
        length = lengthUs(rng, 12, 40);
        break;
      case FaultKind::ServerGone:
        length = lengthUs(rng, 0.2, 60);
        break;
      case FaultKind::SlowRateAnswer:
        length = lengthUs(rng, 1, 60);
        break;
      case FaultKind::HalfTelnet:
        length = lengthUs(rng, 0.5, 30);
        break;
      case FaultKind::Count:
        break;
    }
    f.toUs = f.fromUs + std::min(length, kLongestFaultUs);
    faults.push_back(f);
  }
  return faults;
}

FaultLine::FaultLine(k73::Converter& converter, k73::VirtualBench& bench, std::vector<Fault> faults,
                     uint64_t seed)
    : converter_(converter), bench_(bench), rng_(seed ^ 0x5eed) {
  for (const Fault& f : faults) {
    if (onTheLine(f.kind)) faults_.push_back(f);
  }
}

bool FaultLine::active(FaultKind kind, int64_t tUs, int* every) const {
  auto it = std::upper_bound(faults_.begin(), faults_.end(), tUs,
                             [](int64_t t, const Fault& f) { return t < f.fromUs; });
  while (it != faults_.begin()) {
    --it;
    if (it->fromUs < tUs - kLongestFaultUs) break;
    if (it->kind == kind && tUs < it->toUs) {
      if (every) *every = it->every;
      return true;
    }
  }
  return false;
}

bool FaultLine::lineFaultAt(int64_t tUs) const {
  for (int k = 0; k < int(FaultKind::Count); ++k) {
    if (damaging(FaultKind(k)) && active(FaultKind(k), tUs)) return true;
  }
  return false;
}

k73::VirtualBench::LineState FaultLine::stateAt(int64_t tUs) const {
  k73::VirtualBench::LineState state;
  state.gone = active(FaultKind::Unplugged, tUs);
  // The latest unplug that began by tUs: a handle opened before it is dead.
  auto it = std::upper_bound(faults_.begin(), faults_.end(), tUs,
                             [](int64_t t, const Fault& f) { return t < f.fromUs; });
  while (it != faults_.begin()) {
    --it;
    if (it->kind == FaultKind::Unplugged) {
      state.goneUntilUs = std::max(state.goneUntilUs, it->toUs);
      if (it->fromUs < tUs - kLongestFaultUs) break;
    }
  }
  state.peerBytesLost = active(FaultKind::Silent, tUs);
  return state;
}

bool FaultLine::noisyWithin(int64_t fromUs, int64_t toUs) const {
  for (const Fault& f : faults_) {
    if (f.kind == FaultKind::Noisy && f.fromUs < toUs && f.toUs > fromUs) return true;
  }
  return false;
}

void FaultLine::applySwitches(int64_t tUs) {
  k73::Misbehaviour& mis = converter_.model().misbehave;
  mis.badStartMarker = active(FaultKind::BadStartMarker, tUs);
  mis.badEndMarker = active(FaultKind::BadEndMarker, tUs);
  int every = 0;
  mis.dropByteEvery = active(FaultKind::DroppedBytes, tUs, &every) ? every : 0;
  mis.doubleByteEvery = active(FaultKind::DoubledBytes, tUs, &every) ? every : 0;
  // A noisy stretch begins with a burst of garbage.
  for (; nextBurst_ < faults_.size() && faults_[nextBurst_].fromUs <= tUs; ++nextBurst_) {
    const Fault& f = faults_[nextBurst_];
    if (f.kind != FaultKind::Noisy) continue;
    const int length = std::uniform_int_distribution<int>(1, 16)(rng_);
    for (int i = 0; i < length; ++i) {
      noise_.push_back({std::max(f.fromUs, tUs) + i * kNoiseByteUs, uint8_t(rng_())});
    }
  }
}

void FaultLine::hostByte(uint8_t byte, int64_t tUs, uint32_t hostBaud) {
  if (active(FaultKind::Unplugged, tUs)) return;
  if (active(FaultKind::Noisy, tUs) && rng_() % 8 == 0) byte ^= uint8_t(1u << (rng_() % 8));
  converter_.hostByte(byte, tUs, hostBaud);
}

void FaultLine::hostOpened(int64_t tUs, uint32_t hostBaud) {
  converter_.hostOpened(tUs, hostBaud);
}

void FaultLine::hostClosed(int64_t tUs) {
  converter_.hostClosed(tUs);
}

int64_t FaultLine::nextByteTime() {
  applySwitches(bench_.nowUs());
  const int64_t next = converter_.nextByteTime();
  return noise_.empty() ? next : std::min(next, noise_.front().tUs);
}

uint8_t FaultLine::takeByte(uint32_t* baud) {
  const int64_t next = converter_.nextByteTime();
  if (!noise_.empty() && noise_.front().tUs <= next) {
    const uint8_t byte = noise_.front().byte;
    noise_.pop_front();
    *baud = 0;  // garbage at whatever rate the host listens
    return byte;
  }
  uint8_t byte = converter_.takeByte(baud);
  if (active(FaultKind::Noisy, next) && rng_() % 8 == 0) byte ^= uint8_t(1u << (rng_() % 8));
  return byte;
}

}  // namespace k73soak
