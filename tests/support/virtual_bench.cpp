#include "virtual_bench.h"

#include <algorithm>
#include <cassert>

#include "handle_port.h"

namespace k73 {
namespace {

VirtualBench* gActive = nullptr;

// Handles are COM numbers offset so that 0 and -1 never name a port.
constexpr intptr_t kHandleBase = 1000;

int64_t byteTimeUs(uint32_t baud) {
  return baud ? 10'000'000 / baud : 0;
}

}  // namespace

VirtualBench::VirtualBench() : previous_(gActive) {
  gActive = this;
}
VirtualBench::~VirtualBench() {
  gActive = previous_;
}
VirtualBench* VirtualBench::active() {
  return gActive;
}

void VirtualBench::attach(int comNumber, Peer* peer) {
  ports_[comNumber].peer = peer;
}
void VirtualBench::detach(int comNumber) {
  ports_[comNumber].peer = nullptr;
}
void VirtualBench::limitInputQueue(int comNumber, size_t bytes) {
  ports_[comNumber].inputLimit = bytes;
}

const std::vector<WireByte>& VirtualBench::sent(int comNumber) {
  return ports_[comNumber].sent;
}
const std::vector<WireByte>& VirtualBench::received(int comNumber) {
  return ports_[comNumber].received;
}

void VirtualBench::setLine(int comNumber, std::function<LineState(int64_t)> line) {
  ports_[comNumber].line = std::move(line);
}

void VirtualBench::forgetWire() {
  for (auto& [num, port] : ports_) {
    port.sent.clear();
    port.sent.shrink_to_fit();
    port.received.clear();
    port.received.shrink_to_fit();
  }
}

int VirtualBench::openPortCount() const {
  int n = 0;
  for (const auto& [num, port] : ports_) n += port.open ? 1 : 0;
  return n;
}

uint32_t VirtualBench::baudOf(int comNumber) const {
  auto it = ports_.find(comNumber);
  return it == ports_.end() ? 0 : it->second.baud;
}

VirtualBench::Port* VirtualBench::portOf(intptr_t handle) {
  auto it = ports_.find(static_cast<int>(handle - kHandleBase));
  if (it == ports_.end() || !it->second.open) return nullptr;
  Port& port = it->second;
  if (port.line) {
    const LineState line = port.line(nowUs_);
    if (line.gone || line.goneUntilUs > port.openedUs) {
      port.input.clear();
      return nullptr;
    }
  }
  return &port;
}

void VirtualBench::pump(int64_t untilUs) {
  for (auto& [num, port] : ports_) {
    if (!port.peer) continue;
    for (;;) {
      int64_t t = port.peer->nextByteTime();
      if (t == kNever || t > untilUs) break;
      uint32_t peerBaud = 0;
      uint8_t byte = port.peer->takeByte(&peerBaud);
      if (!port.open) continue;  // nobody listening: the byte is lost
      if (port.line) {
        const LineState line = port.line(t);
        if (line.peerBytesLost || line.gone) continue;
      }
      // A byte sent while the two ends run at different rates arrives garbled.
      if (peerBaud != 0 && peerBaud != port.baud) byte = 0xFF;
      if (port.inputLimit != 0 && port.input.size() >= port.inputLimit) continue;
      port.input.push_back(byte);
      port.received.push_back({std::max(t, nowUs_), byte});
    }
  }
}

int64_t VirtualBench::nextArrivalUs() {
  int64_t next = kNever;
  for (auto& [num, port] : ports_) {
    if (port.peer) next = std::min(next, port.peer->nextByteTime());
  }
  return next;
}

void VirtualBench::advanceToUs(int64_t tUs) {
  if (tUs > nowUs_) {
    pump(tUs);
    nowUs_ = tUs;
  }
}

intptr_t VirtualBench::open(int comNumber, uint32_t baud) {
  auto it = ports_.find(comNumber);
  if (it == ports_.end() || it->second.open) return -1;  // no such port, or already in use
  Port& port = it->second;
  if (!port.peer || (port.line && port.line(nowUs_).gone)) return -1;
  pump(nowUs_);
  port.open = true;
  port.openedUs = nowUs_;
  port.baud = baud;
  port.peer->hostOpened(nowUs_, baud);
  return kHandleBase + comNumber;
}

void VirtualBench::close(intptr_t handle) {
  auto it = ports_.find(static_cast<int>(handle - kHandleBase));
  if (it == ports_.end() || !it->second.open) return;
  Port* port = &it->second;  // a dead handle closes too
  port->open = false;
  port->input.clear();
  if (port->peer) port->peer->hostClosed(nowUs_);
}

void VirtualBench::purge(intptr_t handle) {
  pump(nowUs_);
  if (Port* port = portOf(handle)) port->input.clear();
}

bool VirtualBench::status(intptr_t handle, uint32_t* inQueue, uint32_t* outQueue) {
  pump(nowUs_);
  Port* port = portOf(handle);
  if (!port) return false;
  *inQueue = static_cast<uint32_t>(port->input.size());
  *outQueue = 0;
  return true;
}

bool VirtualBench::writeByte(intptr_t handle, uint8_t byte) {
  Port* port = portOf(handle);
  if (!port) return false;
  // The byte is on the line for one byte time; the peer has it at the end.
  int64_t done = nowUs_ + byteTimeUs(port->baud);
  port->sent.push_back({nowUs_, byte});
  if (port->peer) port->peer->hostByte(byte, done, port->baud);
  return true;
}

bool VirtualBench::readByte(intptr_t handle, uint8_t* byte) {
  pump(nowUs_);
  Port* port = portOf(handle);
  if (!port || port->input.empty()) return false;
  *byte = port->input.front();
  port->input.pop_front();
  return true;
}

void VirtualBench::waitForInput(intptr_t handle, int64_t deadlineMs) {
  const int64_t deadlineUs = deadlineMs * 1000;
  pump(nowUs_);
  Port* port = portOf(handle);
  if (port && !port->input.empty()) return;
  for (;;) {
    int64_t next = nextArrivalUs();
    if (next >= deadlineUs) {
      advanceToUs(deadlineUs);
      return;
    }
    // A peer may schedule a byte for this very moment while the bench looks
    // for the next arrival: deliver it rather than look again for ever.
    if (next <= nowUs_)
      pump(nowUs_);
    else
      advanceToUs(next);
    if (port && !port->input.empty()) return;
  }
}

void VirtualBench::waitForOutput(intptr_t handle, int64_t deadlineMs) {
  if (!portOf(handle)) sleepUntilMs(deadlineMs);
}

void VirtualBench::sleepUntilMs(int64_t deadlineMs) {
  advanceToUs(deadlineMs * 1000);
}

}  // namespace k73

// The driver's platform seam, served by the active bench.
namespace tov::platform {

static k73::VirtualBench& bench() {
  k73::VirtualBench* b = k73::VirtualBench::active();
  assert(b && "a VirtualBench must exist while the driver runs in virtual time");
  return *b;
}

int64_t nowMs() {
  return bench().nowMs();
}

void sleepUntil(int64_t deadlineMs, bool) {
  bench().sleepUntilMs(deadlineMs);
}

void waitForInput(TovHandle port, int64_t deadlineMs) {
  bench().waitForInput(port, deadlineMs);
}

void waitForOutput(TovHandle port, int64_t deadlineMs) {
  bench().waitForOutput(port, deadlineMs);
}

TovHandle serialOpen(int comNumber, uint32_t baud, uint32_t, uint32_t, uint32_t, TovDcb* dcb) {
  TovHandle h = bench().open(comNumber, baud);
  if (h != TOV_INVALID_HANDLE) describeLink(dcb, baud);
  return h;
}

const char* serialOpenFailure() {
  return "no such port on the bench";
}

void serialClose(TovHandle port) {
  bench().close(port);
}
void serialPurge(TovHandle port) {
  bench().purge(port);
}

bool serialStatus(TovHandle port, TovComStat* status) {
  uint32_t in = 0, out = 0;
  if (!bench().status(port, &in, &out)) return false;
  status->flags = 0;
  status->cbInQue = in;
  status->cbOutQue = out;
  return true;
}

bool serialWriteByte(TovHandle port, uint8_t byte) {
  return bench().writeByte(port, byte);
}
bool serialReadByte(TovHandle port, uint8_t* byte) {
  return bench().readByte(port, byte);
}

}  // namespace tov::platform
