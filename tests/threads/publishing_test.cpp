// The publisher's two threads together under ThreadSanitizer: the run's
// thread numbers and spools scans (and queues events) while the network
// thread runs libmosquitto against a real mosquitto on 127.0.0.1, which is
// stopped and started again in the middle. Any report fails the run; every
// scan must be acknowledged by the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "fleet.h"
#include "mosquitto_process.h"

namespace k73log {
namespace {

constexpr int kScans = 300;
constexpr int kScanMs = 10;

TEST(PublishingThreads, SpoolWriterAndNetworkThroughABrokerRestart) {
  char name[] = "/tmp/k73tsanXXXXXX";
  const std::string dir = mkdtemp(name);
  k73test::MosquittoProcess broker(dir);
  ASSERT_TRUE(broker.start()) << "mosquitto did not start";

  PublishOptions opts;
  opts.enabled = true;
  opts.broker.host = "127.0.0.1";
  opts.broker.port = broker.port();
  opts.broker.prefix = "tsan/k73";
  opts.stateDir = dir + "/state";
  opts.batch = 2;  // many messages, acknowledgements while scans are spooled
  opts.keepaliveS = 5;
  opts.drainS = 30;
  std::string error;
  std::unique_ptr<Publisher> publisher = makePublisher(opts, "tsan", &error);
  ASSERT_TRUE(publisher) << error;
  RunInfo info;
  info.intervalS = kScanMs / 1000.0;
  info.columns = {"ch0.0_mV"};
  publisher->begin(info);

  for (int i = 0; i < kScans; ++i) {
    if (i == kScans / 3) broker.stop();
    if (i == kScans / 3 + 100) {
      ASSERT_TRUE(broker.start());  // a second later
    }
    Scan scan{1796713262345 + i * kScanMs, i, {1234.5}};
    ASSERT_TRUE(publisher->spoolScan(&scan));
    ASSERT_EQ(scan.seq, i + 1);
    if (i % 50 == 0) publisher->gap({scan.utcMs, scan.utcMs, 0});
    publisher->unacknowledged();
    std::this_thread::sleep_for(std::chrono::milliseconds(kScanMs));
  }
  publisher->finish({});
  EXPECT_EQ(publisher->unacknowledged(), 0);
  publisher.reset();
  std::ifstream acked(dir + "/state/acked-seq");
  int64_t seq = 0;
  acked >> seq;
  EXPECT_EQ(seq, kScans);
  broker.stop();
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace k73log
