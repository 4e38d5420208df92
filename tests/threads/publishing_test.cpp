// The publisher's two threads together under ThreadSanitizer: the run's
// thread numbers and spools scans (and queues events) while the network
// thread runs libmosquitto against a real mosquitto on 127.0.0.1, which is
// stopped and started again in the middle. Any report fails the run; every
// scan must be acknowledged by the end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "fleet.h"

extern char** environ;

namespace k73log {
namespace {

constexpr int kScans = 300;
constexpr int kScanMs = 10;

int freePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

bool listening(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return up;
}

// mosquitto as the current user, persistence on, in the test's directory.
class Broker {
 public:
  explicit Broker(const std::string& dir) : dir_(dir), port_(freePort()) {
    const char* user = std::getenv("USER");
    std::ofstream(dir + "/mosquitto.conf")
        << "user " << (user ? user : "root") << "\nlistener " << port_
        << " 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location " << dir
        << "/\nautosave_interval 1\nlog_dest file " << dir << "/broker.log\n";
  }
  ~Broker() { stop(); }
  bool start() {
    const std::string conf = dir_ + "/mosquitto.conf";
    char* argv[] = {const_cast<char*>("mosquitto"), const_cast<char*>("-c"),
                    const_cast<char*>(conf.c_str()), nullptr};
    if (posix_spawnp(&pid_, "mosquitto", nullptr, nullptr, argv, environ) != 0) return false;
    for (int i = 0; i < 200 && !listening(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return listening(port_);
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int port() const { return port_; }

 private:
  std::string dir_;
  int port_;
  pid_t pid_ = -1;
};

TEST(PublishingThreads, SpoolWriterAndNetworkThroughABrokerRestart) {
  char name[] = "/tmp/k73tsanXXXXXX";
  const std::string dir = mkdtemp(name);
  Broker broker(dir);
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
