#include "remote_port.h"

#include <cstdlib>

namespace tov::platform {

namespace {

// Output the stream has not taken yet; beyond this a write waits for room,
// as on a serial port whose output queue is full.
constexpr size_t kMaxPendingOutput = 4096;
// At most this much is taken in per call, so a flooding server cannot hold
// the driver past its deadlines.
constexpr size_t kMaxTakeIn = 64 * 1024;

bool isPortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const long number = std::strtol(text.c_str(), nullptr, 10);
  return number >= 1 && number <= 65535;
}

}  // namespace

bool parseRemoteTarget(const std::string& target, std::string* host, std::string* port) {
  static const std::string kScheme = "rfc2217://";
  if (target.compare(0, kScheme.size(), kScheme) != 0) return false;
  const std::string rest = target.substr(kScheme.size());
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return false;
    *host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.find(':');
    if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos) return false;
    *host = rest.substr(0, colon);
  }
  *port = rest.substr(colon + 1);
  if (host->empty() || host->find_first_of("/[]@ ") != std::string::npos) return false;
  return isPortNumber(*port);
}

bool RemotePort::start(uint32_t baud, int64_t deadlineMs, const char** why) {
  session_.start(baud);
  flush();
  return awaitLine(deadlineMs, why);
}

bool RemotePort::changeRate(uint32_t baud, int64_t deadlineMs, const char** why) {
  if (gone_) {
    *why = "the server closed the connection";
    return false;
  }
  session_.changeRate(baud);
  flush();
  return awaitLine(deadlineMs, why);
}

bool RemotePort::awaitLine(int64_t deadlineMs, const char** why) {
  while (!session_.lineConfirmed()) {
    if (session_.refusal()) {
      *why = session_.refusal();
      return false;
    }
    if (gone_) {
      *why = "the server closed the connection during negotiation";
      return false;
    }
    if (stream_.nowMs() >= deadlineMs) {
      if (!session_.comPortAccepted())
        *why = "the server never took up the COM-PORT option (not an RFC 2217 server?)";
      else if (session_.serverBaud() != 0)
        *why = "the server did not take the baud rate";
      else
        *why = "timed out waiting for the server's answers to the line settings";
      return false;
    }
    stream_.wait(session_.pendingOutputSize() > 0, deadlineMs);
    takeIn();
    flush();
  }
  // Anything before the answer came over the line at the server's old
  // settings, or was left over from before we connected.
  session_.dropData();
  return true;
}

void RemotePort::takeIn() {
  uint8_t buffer[1024];
  for (size_t total = 0; !gone_ && total < kMaxTakeIn;) {
    const long n = stream_.receive(buffer, sizeof buffer);
    if (n < 0) gone_ = true;
    if (n <= 0) break;
    session_.receive(buffer, static_cast<size_t>(n));
    total += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < sizeof buffer) break;
  }
  if (session_.broken()) gone_ = true;
  flush();  // answers the Telnet layer made to what came in
}

void RemotePort::flush() {
  while (!gone_ && session_.pendingOutputSize() > 0) {
    const long n = stream_.send(session_.pendingOutput(), session_.pendingOutputSize());
    if (n < 0) gone_ = true;
    if (n <= 0) break;
    session_.outputSent(static_cast<size_t>(n));
  }
}

bool RemotePort::readByte(uint8_t* byte) {
  if (session_.takeData(byte)) return true;
  takeIn();
  return session_.takeData(byte);
}

bool RemotePort::writeByte(uint8_t byte) {
  if (gone_) return false;
  if (session_.pendingOutputSize() >= kMaxPendingOutput) {
    flush();
    if (session_.pendingOutputSize() >= kMaxPendingOutput) return false;
  }
  session_.sendData(byte);
  flush();
  return !gone_;
}

void RemotePort::purgeInput() {
  takeIn();
  session_.purgeInput();
  flush();
}

uint32_t RemotePort::inputWaiting() {
  takeIn();
  return static_cast<uint32_t>(session_.dataWaiting());
}

uint32_t RemotePort::outputWaiting() const {
  return static_cast<uint32_t>(session_.pendingOutputSize());
}

void RemotePort::waitOrSleep(bool forOutput, int64_t deadlineMs) {
  if (gone_) {
    stream_.sleepUntil(deadlineMs);
    return;
  }
  stream_.wait(forOutput, deadlineMs);
}

void RemotePort::waitForInput(int64_t deadlineMs) {
  while (session_.dataWaiting() == 0 && stream_.nowMs() < deadlineMs) {
    waitOrSleep(session_.pendingOutputSize() > 0, deadlineMs);
    takeIn();
  }
}

void RemotePort::waitForOutput(int64_t deadlineMs) {
  // Called when a write failed: the output is full, or the port is gone (a
  // port that cannot be written at all sleeps out the deadline).
  while ((gone_ || session_.pendingOutputSize() >= kMaxPendingOutput) &&
         stream_.nowMs() < deadlineMs) {
    waitOrSleep(true, deadlineMs);
    takeIn();  // what arrived meanwhile, or the wait would wake for it again and again
  }
}

}  // namespace tov::platform
