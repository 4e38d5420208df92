// A remote port's receive path against a server that says anything: the
// input is the server's byte stream in chunks, each after a gap, and the
// driver-side calls made between them. Runs in virtual time. Checked: no
// crash, no wait past its deadline, no wait that wakes with nothing to do,
// no data out of a session that never confirmed its line.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "remote_port.h"

namespace {

constexpr int64_t kNever = INT64_MAX;

class FuzzServer : public tov::platform::ByteStream {
 public:
  explicit FuzzServer(FuzzedDataProvider& in) : in_(in) { endsWhenDry_ = in_.ConsumeBool(); }

  int64_t now = 0;
  int idleWakeUps = 0;

  int64_t nowMs() override { return now; }
  long send(const uint8_t*, size_t count) override {
    return dry() && endsWhenDry_ ? -1 : static_cast<long>(count);
  }
  long receive(uint8_t* buffer, size_t size) override {
    refill();
    if (chunk_.empty()) return dry() && endsWhenDry_ ? -1 : 0;
    if (chunkAt_ > now) return 0;
    const size_t n = std::min(size, chunk_.size());
    std::copy_n(chunk_.begin(), n, buffer);
    chunk_.erase(chunk_.begin(), chunk_.begin() + static_cast<long>(n));
    return static_cast<long>(n);
  }
  void wait(bool forOutput, int64_t deadlineMs) override {
    if (forOutput) return;
    refill();
    const bool ready = (!chunk_.empty() && chunkAt_ <= now) || (dry() && endsWhenDry_);
    const int64_t next = std::min(chunk_.empty() ? kNever : chunkAt_, deadlineMs);
    if (next <= now && !ready) ++idleWakeUps;
    now = std::max(now, next);
  }
  void sleepUntil(int64_t deadlineMs) override { now = std::max(now, deadlineMs); }

 private:
  bool dry() const { return chunk_.empty() && in_.remaining_bytes() == 0; }
  void refill() {
    if (!chunk_.empty() || in_.remaining_bytes() == 0) return;
    const uint8_t gap = in_.ConsumeIntegral<uint8_t>();
    // Mostly short gaps, sometimes ones that cross a deadline.
    chunkAt_ = now + (gap < 200 ? gap / 10 : int64_t(gap - 199) * 100);
    const std::vector<uint8_t> bytes =
        in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(1, 64));
    chunk_.assign(bytes.begin(), bytes.end());
  }

  FuzzedDataProvider& in_;
  std::vector<uint8_t> chunk_;
  int64_t chunkAt_ = 0;
  bool endsWhenDry_ = false;
};

void fail(const char* what) {
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}
#define CHECK(holds) ((holds) ? (void)0 : fail(#holds))

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzServer server(in);
  tov::platform::RemotePort port(&server);
  const char* why = "";
  port.start(9600, 3000, &why);  // a port that failed to start is still used: it must hold up
  CHECK(server.now <= 3000);
  uint8_t byte = 0;
  for (int call = 0; call < 200 && !port.gone(); ++call) {
    const int64_t deadline = server.now + 1 + call % 50;
    port.waitForInput(deadline);
    CHECK(server.now <= deadline);
    CHECK(server.now == deadline || port.inputWaiting() > 0);
    while (port.readByte(&byte)) {
    }
    if (call % 7 == 0 && !port.writeByte(static_cast<uint8_t>(call))) {
      CHECK(port.gone());  // this server takes every byte while it is there
      const int64_t until = server.now + 5;
      port.waitForOutput(until);  // a port that cannot be written sleeps it out
      CHECK(server.now == until);
    }
    if (call % 13 == 0) port.purgeInput();
  }
  CHECK(server.idleWakeUps == 0);
  return 0;
}
